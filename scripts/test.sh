#!/usr/bin/env bash
# The test command: on a fresh Debian 12 machine (as root) installs what is missing, builds every
# preset and runs every test: native, ASan+UBSan, the Windows twin under wine64, and each fuzz
# target for a short while.
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

# The Windows tests sign their updates with the Linux build's release tool.
export ZEP_NATIVE_BIN=$PWD/build/native/bin
for preset in native asan windows-test; do
    echo "== test $preset"
    ctest --preset "$preset" -j "$(nproc)"
done
echo "== fuzz"
bash scripts/fuzz.sh "${ZEP_FUZZ_SECONDS:-20}"
echo "== all presets built, all tests passed"
