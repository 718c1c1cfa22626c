#!/usr/bin/env bash
# The test command: on a fresh Debian 12 machine (as root) installs what is missing, builds every
# preset and its packages and runs every test: native, ASan+UBSan, the Windows twin under wine64, the
# .deb installed and removed, and each fuzz target for a short while.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

echo "== format check"
git ls-files -z -- '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror

for preset in native native-release asan windows-test windows; do
    echo "== build $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$(nproc)"
done

# The packages of the two shipped builds; the .deb installed into a scratch root, removed and purged.
echo "== packages"
rm -rf build/native-release/packages build/windows/packages
cpack --preset deb >/dev/null
cpack --preset windows-zip >/dev/null
zip=$(echo build/windows/packages/ZEPMaintenance-*-win32.zip)
listing=$(cmake -E tar tf "$zip")
grep -qx "$(basename "$zip" .zip)/ZEPMaintenance.exe" <<<"$listing" ||
    { echo "$zip holds no ZEPMaintenance.exe" >&2; exit 1; }
status=0
bash tests/integration/package_test.sh build/native-release/packages/zepmaintenance_*_amd64.deb || status=$?
[ "$status" -eq 0 ] || [ "$status" -eq 77 ] || exit "$status"

# The Windows tests sign their updates with the Linux build's release tool.
export ZEP_NATIVE_BIN=$PWD/build/native/bin
for preset in native asan windows-test; do
    echo "== test $preset"
    ctest --preset "$preset" -j "$(nproc)"
done
echo "== fuzz"
bash scripts/fuzz.sh "${ZEP_FUZZ_SECONDS:-20}"
echo "== all presets built, all tests passed"
