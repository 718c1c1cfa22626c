// ManifestFileList: packing names and digests, and the index by upper-cased name.
#include "upgrade/ManifestFileList.h"

#include "system/Text.h"

namespace ZEPMaintenance {

namespace {

constexpr char kUpperDigits[] = "0123456789ABCDEF";
constexpr char kLowerDigits[] = "0123456789abcdef";

std::string HexOf(const uint8_t* bytes, std::size_t size, const char* digits) {
    std::string text(size * 2, '0');
    for (std::size_t i = 0; i < size; ++i) {
        text[2 * i] = digits[bytes[i] >> 4];
        text[2 * i + 1] = digits[bytes[i] & 0x0F];
    }
    return text;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// FNV-1a over the code units.
uint32_t HashOf(const std::wstring& text) {
    uint32_t hash = 2166136261u;
    for (const wchar_t c : text) {
        hash = (hash ^ static_cast<uint32_t>(c)) * 16777619u;
    }
    return hash;
}

// Each code unit as a base-128 number, low group first: one byte for the ASCII names releases carry,
// and any wchar_t value comes back as it was.
void PackName(const std::wstring& name, BlockList<char>& out) {
    for (const wchar_t c : name) {
        auto value = static_cast<uint32_t>(c);
        while (value >= 0x80) {
            out.push_back(static_cast<char>(0x80 | (value & 0x7F)));
            value >>= 7;
        }
        out.push_back(static_cast<char>(value));
    }
}

std::wstring UnpackName(const BlockList<char>& packed, std::size_t begin, std::size_t end) {
    std::wstring name;
    name.reserve(end - begin);
    uint32_t value = 0;
    unsigned shift = 0;
    for (std::size_t i = begin; i < end; ++i) {
        const auto byte = static_cast<uint8_t>(packed[i]);
        value |= static_cast<uint32_t>(byte & 0x7F) << shift;
        if (byte & 0x80) {
            shift += 7;
            continue;
        }
        name += static_cast<wchar_t>(value);
        value = 0;
        shift = 0;
    }
    return name;
}

} // namespace

bool HexToBytes(const std::string& text, uint8_t* bytes, std::size_t size) {
    if (text.size() != size * 2) {
        return false;
    }
    for (std::size_t i = 0; i < size; ++i) {
        const int high = HexDigit(text[2 * i]);
        const int low = HexDigit(text[2 * i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        bytes[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return true;
}

void ManifestFileList::Add(const std::wstring& fileName, const Sha1Bytes& sha1, const Sha256Bytes* sha256) {
    Packed entry;
    entry.sha1 = sha1;
    PackName(fileName, names_);
    entry.nameEnd = static_cast<uint32_t>(names_.size());
    if (sha256 != nullptr) {
        entry.sha256 = static_cast<uint32_t>(sha256s_.size());
        sha256s_.push_back(*sha256);
    }
    entries_.push_back(entry);
}

void ManifestFileList::Index() {
    std::size_t slotCount = 16;
    while (slotCount < 2 * entries_.size()) {
        slotCount *= 2;
    }
    slots_.assign(slotCount, kNone);
    // The last entry of each name so far, while the chains are made.
    std::vector<uint32_t> last(entries_.size(), kNone);
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        const std::wstring upper = ToUpper(NameOf(i));
        entries_[i].upperHash = HashOf(upper);
        const std::size_t first = FindUpper(upper, entries_[i].upperHash);
        if (first == npos) {
            for (std::size_t slot = entries_[i].upperHash & (slotCount - 1);;
                 slot = (slot + 1) & (slotCount - 1)) {
                if (slots_[slot] == kNone) {
                    slots_[slot] = static_cast<uint32_t>(i);
                    break;
                }
            }
            last[i] = static_cast<uint32_t>(i);
        } else {
            entries_[last[first]].nextOfName = static_cast<uint32_t>(i);
            last[first] = static_cast<uint32_t>(i);
        }
    }
}

ManifestFileEntry ManifestFileList::operator[](std::size_t position) const {
    ManifestFileEntry entry;
    entry.hash.LoadFromString(Sha1TextOf(position));
    if (entries_[position].sha256 != kNone) {
        entry.sha256.LoadFromString(Sha256TextOf(position));
    }
    entry.fileName = NameOf(position);
    return entry;
}

std::wstring ManifestFileList::NameOf(std::size_t position) const {
    const std::size_t begin = position == 0 ? 0 : entries_[position - 1].nameEnd;
    return UnpackName(names_, begin, entries_[position].nameEnd);
}

std::string ManifestFileList::Sha1TextOf(std::size_t position) const {
    return HexOf(entries_[position].sha1.data(), entries_[position].sha1.size(), kUpperDigits);
}

std::string ManifestFileList::Sha256TextOf(std::size_t position) const {
    const uint32_t at = entries_[position].sha256;
    return at == kNone ? std::string() : HexOf(sha256s_[at].data(), sha256s_[at].size(), kLowerDigits);
}

std::size_t ManifestFileList::FindUpper(const std::wstring& upper, uint32_t hash) const {
    if (slots_.empty()) {
        return npos;
    }
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t slot = hash & mask; slots_[slot] != kNone; slot = (slot + 1) & mask) {
        const uint32_t candidate = slots_[slot];
        if (entries_[candidate].upperHash == hash && ToUpper(NameOf(candidate)) == upper) {
            return candidate;
        }
    }
    return npos;
}

std::size_t ManifestFileList::FindName(const std::wstring& name) const {
    const std::wstring upper = ToUpper(name);
    return FindUpper(upper, HashOf(upper));
}

bool ManifestFileList::SameDigests(std::size_t position, const FileDigests& digests) const {
    if (digests.sha1.Compare(Sha1TextOf(position).c_str()) != 0) {
        return false;
    }
    // Where the entry names no SHA-256 the file is taken on its SHA-1 alone, as before there was one.
    return entries_[position].sha256 == kNone || Sha256TextOf(position) == digests.sha256.ToString();
}

std::size_t ManifestFileList::Find(const std::wstring& name, const FileDigests& digests) const {
    for (std::size_t i = FindName(name); i != npos;
         i = entries_[i].nextOfName == kNone ? npos : entries_[i].nextOfName) {
        if (SameDigests(i, digests)) {
            return i;
        }
    }
    return npos;
}

} // namespace ZEPMaintenance
