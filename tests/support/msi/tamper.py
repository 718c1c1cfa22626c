#!/usr/bin/env python3
"""Writes copies of a compound file (an MSI package) with one byte of one stream changed.

    tamper.py PACKAGE OUTPUT_DIR PREFIX [middle|end]

For every non-empty stream, OUTPUT_DIR/PREFIX-<n>.msi has the byte in the middle of that stream (or
its last byte) inverted; prints "<file> <stream name as hex UTF-16>" per copy. The compound file is read here on its
own, not through the library the program uses, so that both must agree on where a stream lies.
"""
import struct
import sys

FREE, END = 0xFFFFFFFF, 0xFFFFFFFE


def chain(table, start):
    sectors = []
    while start not in (FREE, END) and len(sectors) <= len(table):
        sectors.append(start)
        start = table[start]
    return sectors


def main():
    package, out, prefix = sys.argv[1:4]
    at_end = len(sys.argv) > 4 and sys.argv[4] == "end"
    data = bytearray(open(package, "rb").read())
    assert data[:8] == bytes.fromhex("d0cf11e0a1b11ae1"), "not a compound file"
    sector_size = 1 << struct.unpack_from("<H", data, 30)[0]
    mini_size = 1 << struct.unpack_from("<H", data, 32)[0]
    directory_start, = struct.unpack_from("<I", data, 48)
    mini_cutoff, mini_fat_start = struct.unpack_from("<II", data, 56)
    difat = [s for s in struct.unpack_from("<109I", data, 76) if s not in (FREE, END)]
    assert struct.unpack_from("<I", data, 68)[0] in (FREE, END), "packages this small have no DIFAT sectors"

    def offset(sector):
        return (sector + 1) * sector_size

    fat = []
    for s in difat:
        fat.extend(struct.unpack_from("<%dI" % (sector_size // 4), data, offset(s)))
    directory = b"".join(bytes(data[offset(s):offset(s) + sector_size]) for s in chain(fat, directory_start))
    mini_fat = []
    for s in chain(fat, mini_fat_start):
        mini_fat.extend(struct.unpack_from("<%dI" % (sector_size // 4), data, offset(s)))

    entries = []
    for i in range(len(directory) // 128):
        entry = directory[i * 128:(i + 1) * 128]
        name_length, kind = struct.unpack_from("<HB", entry, 64)
        start, size = struct.unpack_from("<IQ", entry, 116)
        entries.append((entry[:max(name_length - 2, 0)], kind, start, size & 0xFFFFFFFF))
    mini_stream = chain(fat, entries[0][2])

    def file_offsets(start, size):
        # The file offset of each byte of a stream, sector by sector.
        if size < mini_cutoff:
            for m in chain(mini_fat, start):
                base = offset(mini_stream[m * mini_size // sector_size]) + (m * mini_size) % sector_size
                yield from range(base, base + mini_size)
        else:
            for s in chain(fat, start):
                yield from range(offset(s), offset(s) + sector_size)

    count = 0
    for name, kind, start, size in entries:
        if kind != 2 or size == 0:
            continue
        target = list(file_offsets(start, size))[size - 1 if at_end else size // 2]
        changed = bytearray(data)
        changed[target] ^= 0xFF
        count += 1
        path = "%s/%s-%d.msi" % (out, prefix, count)
        open(path, "wb").write(changed)
        print("%s-%d.msi %s" % (prefix, count, name.hex()))


if __name__ == "__main__":
    main()
