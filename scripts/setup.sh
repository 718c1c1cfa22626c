#!/usr/bin/env bash
# Shared set-up for the README's commands: installs the Debian packages the builds need and
# fetches the pugixml sources. Safe to run again; does nothing that is already done.
set -euo pipefail

packages=(
    git cmake ninja-build g++ pkg-config clang-format
    libssl-dev libsqlite3-dev sqlite3 libgtest-dev googletest libbenchmark-dev
    libacl1-dev libattr1-dev acl attr util-linux time
    xfsprogs # an XFS image with shared blocks for the copy tests and the benchmark
    libgsf-1-dev # MSI packages read as compound files for their signature check
    wixl osslsigncode python3 # the MSI tests' packages, built, signed and changed at build time
    systemd # systemd-socket-activate serves the service socket in the service test
    mingw-w64 wine wine64 xvfb dpkg-dev
    lintian # checks the .deb in the package test
    xdotool imagemagick tmux # the dialog's tests: pressing keys, screenshots, a terminal to read
    clang libclang-rt-dev
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "setup: missing packages (${missing[*]}); run this script as root" >&2
        exit 1
    fi
    echo "setup: installing ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# pugixml from Debian's source package, through a private apt configuration that adds the
# source indexes of the system's own Debian archives without touching the system's apt set-up.
cache="${ZEP_DEPS_CACHE:-$HOME/.cache/zepmaintenance}"
if [ ! -f "$cache/pugixml/src/pugixml.cpp" ]; then
    apt_dir="$cache/apt"
    mkdir -p "$apt_dir/sources.list.d" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
    : > "$apt_dir/sources.list"
    if [ -f /etc/apt/sources.list ]; then
        sed -n 's/^deb \(.*\)/deb-src \1/p' /etc/apt/sources.list > "$apt_dir/sources.list"
    fi
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] && sed 's/^Types: deb$/Types: deb-src/' "$f" > "$apt_dir/sources.list.d/$(basename "$f")"
    done
    apt_opts=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o "Dir::Etc::SourceParts=$apt_dir/sources.list.d"
              -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache" -o "APT::Sandbox::User=root")
    apt-get "${apt_opts[@]}" update -qq
    work=$(mktemp -d "$cache/pugixml-fetch.XXXXXX")
    (cd "$work" && apt-get "${apt_opts[@]}" source -qq pugixml >/dev/null)
    src=$(find "$work" -maxdepth 1 -mindepth 1 -type d -name 'pugixml-*' | head -n 1)
    [ -f "$src/src/pugixml.cpp" ] || { echo "setup: pugixml source package has no src/pugixml.cpp" >&2; exit 1; }
    rm -rf "$cache/pugixml"
    mv "$src" "$cache/pugixml"
    rm -rf "$work"
fi
