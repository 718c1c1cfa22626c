#!/usr/bin/env bash
# The copies on a file system that shares blocks: an XFS image with reflink, mounted for the test (root).
# The copy tests of the unit suite run with their temporary folders there, where the hashed copy and
# the backup's copy must share their sources' blocks, and the whole update runs there end to end.
# Usage: shared_blocks_test.sh <zep_unit_tests> <zepmaintenance> <zcf> <zep_pipe_peer> <zepreg> <source folder>
set -euo pipefail
unit=$1
shift
[ "$(id -u)" -eq 0 ] || { echo "skipped: mounting an image needs root"; exit 77; }
command -v mkfs.xfs >/dev/null || { echo "skipped: no mkfs.xfs"; exit 77; }

work=$(mktemp -d)
mounted=
cleanup() {
    [ -z "$mounted" ] || umount "$work/mnt" || umount -l "$work/mnt"
    rm -rf "$work"
}
trap cleanup EXIT
truncate -s 512M "$work/image"
mkfs.xfs -q -m reflink=1 "$work/image"
mkdir "$work/mnt"
mount -o loop "$work/image" "$work/mnt" 2>"$work/mount.err" ||
    { echo "skipped: the image cannot be mounted here: $(cat "$work/mount.err")"; exit 77; }
mounted=1
chmod 755 "$work" "$work/mnt"
mkdir -m 1777 "$work/mnt/tmp"
export TMPDIR=$work/mnt/tmp

out=$("$unit" --gtest_brief=1 \
    --gtest_filter='HashedCopy*:Sha256Hash*:CopyNewFiles*:Rollback*:Restore*:ProtectedCopy*:SystemFile*:SetupProgram*:Directory*:File*' 2>&1) ||
    { echo "$out"; echo "FAIL: the copy tests on XFS"; exit 1; }
if grep -q 'SKIPPED.*CopiesShareTheSourcesBlocks' <<<"$out"; then
    echo "FAIL: the XFS image shares no blocks"
    exit 1
fi
echo "ok: the copy tests on XFS, the copies sharing their sources' blocks"
bash "$(dirname "$0")/update_test.sh" "$@"
