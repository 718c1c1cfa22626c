#!/bin/bash
# The .deb as dpkg installs it into a scratch root: its maintainer scripts run chrooted there, as on a
# machine without a running systemd; the tools run from it; then removal, a second install on the kept
# store, and purge, each checked for what stays; then once without /proc and once without chroot. Also
# lintian on the package.
# Usage: package_test.sh <package.deb> (root; skipped without dpkg-deb, lintian or unshare)
here=$(dirname "$0")
source "$here/lib.sh"
deb=$(realpath "$1")
for tool in dpkg dpkg-deb lintian unshare chroot ldd; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
[ "$(id -u)" -eq 0 ] || { echo "SKIP: dpkg --root and chroot need root"; exit 77; }
# Sets zep_root and ZEP_MACHINE_ROOT to it: the maintainer scripts must not take it from the caller.
zep_init native /usr/lib/zepmaintenance/bin/zepmaintenance
root=$zep_root
unit=z_2eep_20maintenance_20service2
units=$root/etc/systemd/system
record='HKLM\SYSTEM\CurrentControlSet\Services\Z.EP Maintenance Service2'

zep_checks=$((zep_checks + 1))
lint=$(lintian --fail-on error,warning "$deb" 2>&1) || fail "lintian: $lint"

# A root with what the maintainer scripts and the programs need: a shell, rm, rmdir and their libraries.
extract=$(mktemp -d)
work=$(mktemp -d)
trap 'rm -rf "$root" "$extract" "$work"' EXIT
dpkg-deb -x "$deb" "$extract"
mkdir -p "$root/bin" "$root/dev" "$root/proc" "$root/tmp" "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/dev/null" "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
for tool in sh rm rmdir; do cp "$(command -v "$tool")" "$root/bin/"; done
for library in $(ldd "$root"/bin/* "$extract"/usr/bin/z* "$extract"/usr/lib/zepmaintenance/bin/* |
    grep -o '/[^ ]*\.so[^ ]*' | sort -u); do
    mkdir -p "$root$(dirname "$library")"
    cp -L "$library" "$root$library"
done
# Every file and link of the root but dpkg's own; the folders that install made on the way (etc/xdg and
# the like, which a machine has anyway) may stay.
listing() { (cd "$root" && find . -path ./var/lib/dpkg -prune -o ! -type d -print | sort); }
bare=$(listing)

# in_root [--no-proc] COMMAND...: in a mount namespace of its own, with /dev/null and (unless told) /proc
# mounted in the root, as a chroot of a machine has them; the mounts end with it.
in_root() {
    local proc='mount -t proc proc "$0/proc" &&'
    [ "$1" = --no-proc ] && proc= && shift
    unshare --mount --fork sh -c "$proc"' mount --bind /dev/null "$0/dev/null" && exec "$@"' "$root" "$@"
}
# dpkg_root DESCRIPTION ARGS...: dpkg on the root succeeds; the host's libraries stand for the
# dependencies. Its output is left in $work/out.
dpkg_root() {
    local what=$1
    shift
    zep_checks=$((zep_checks + 1))
    in_root "${in_root_opts[@]}" dpkg --root="$root" --force-depends "$@" >"$work/out" 2>&1 ||
        fail "$what: $(cat "$work/out")"
}
in_root_opts=()
zepreg_root() { in_root env -u ZEP_MACHINE_ROOT chroot "$root" /usr/bin/zepreg "$@"; }

dpkg_root install -i "$deb"
image=$(zepreg_root query "$record" /v ImagePath 2>&1)
check "the record names the installed program: $image" \
    grep -qF '"/usr/lib/zepmaintenance/bin/zepmaintenance" -mode service' <<<"$image"
check "the service unit starts the installed program on the machine's own root" \
    grep -qxF 'ExecStart="/usr/lib/zepmaintenance/bin/zepmaintenance" "-mode" "service"' "$units/$unit@.service"
check "no machine root of the caller's in the unit" eval '! grep -q ZEP_MACHINE_ROOT "$units/$unit@.service"'
check "the socket unit" grep -qxF "ListenSequentialPacket=/run/zepmaintenance/service/$unit.sock" "$units/$unit.socket"
check "the logon run" grep -qxF 'Exec=/usr/lib/zepmaintenance/bin/zeprun' "$root/etc/xdg/autostart/zeprun.desktop"
expect_line ZEPMaintenance2-worker.log "install" INFO "ProcessWorkerMode: Z.EP Maintenance2 installed."
for tool in zepmaintenance.8 zeprun.8 zepreg.8 zcf.1; do
    check "manual page $tool" test -s "$root/usr/share/man/man${tool##*.}/$tool.gz"
done

# The same package again, as an upgrade: the record and the product's settings stay.
product='HKLM\software\ZEP\Z.EP Maintenance2\product'
zepreg_root add "$product" /v installedVersion /d 2.0.1300.0 >/dev/null
dpkg_root upgrade -i "$deb"
check "an upgrade keeps the product's settings" eval 'zepreg_root query "$product" /v installedVersion >/dev/null'

# Each tool's help: on standard output, nothing on standard error, exit 0.
for tool in zcf zepreg zeprun; do
    in_root env -u ZEP_MACHINE_ROOT chroot "$root" "/usr/bin/$tool" --help >"$work/out" 2>"$work/err"
    zep_status=$?
    expect_status 0 "$tool --help"
    check "$tool --help prints its usage" grep -q "$tool " "$work/out"
    check "$tool --help: $(cat "$work/err")" test ! -s "$work/err"
done

# An administrator enabled the socket; removal must not leave the link behind.
mkdir -p "$units/sockets.target.wants"
ln -s "../$unit.socket" "$units/sockets.target.wants/$unit.socket"
dpkg_root remove -r zepmaintenance
for gone in "$units/$unit.socket" "$units/$unit@.service" "$units/sockets.target.wants/$unit.socket" \
    "$root/etc/xdg/autostart/zeprun.desktop" "$root/usr/bin/zepreg" "$root/usr/lib/zepmaintenance" \
    "$root/run/zepmaintenance"; do
    check "removed: ${gone#"$root"}" test ! -e "$gone" -a ! -L "$gone"
done
check "removal keeps the settings store" test -s "$root/var/lib/zepmaintenance/registry.db"
expect_line ZEPMaintenance2-worker.log "uninstall, log kept" INFO "ProcessWorkerMode: Z.EP Maintenance uninstalled."

# Installed again on the kept store, then purged from the installed state.
dpkg_root "install again" -i "$deb"
check "registered again" test -f "$units/$unit.socket"
dpkg_root purge -P zepmaintenance
check "purge leaves the root as it was: $(diff <(echo "$bare") <(listing))" test "$bare" = "$(listing)"

# A chroot without /proc: the package is configured, says why nothing is registered, and purges clean.
in_root_opts=(--no-proc)
dpkg_root "install without /proc" -i "$deb"
check "it says why the service is not registered" grep -q '/proc is not mounted' "$work/out"
check "nothing registered without /proc" test ! -e "$units/$unit.socket"
dpkg_root "purge without /proc" -P zepmaintenance
check "and the root is as it was: $(diff <(echo "$bare") <(listing))" test "$bare" = "$(listing)"

# Without chroot, as a host installs a root it serves: everything below DPKG_ROOT, the program run with
# it as its machine root.
in_root_opts=()
dpkg_root "install without chroot" --force-script-chrootless -i "$deb"
check "the unit names the program in the root" grep -qxF \
    "ExecStart=\"$root/usr/lib/zepmaintenance/bin/zepmaintenance\" \"-mode\" \"service\"" "$units/$unit@.service"
check "and the root as its machine root" grep -qxF "Environment=\"ZEP_MACHINE_ROOT=$root\"" "$units/$unit@.service"
dpkg_root "purge without chroot" --force-script-chrootless -P zepmaintenance
check "the root is as it was again: $(diff <(echo "$bare") <(listing))" test "$bare" = "$(listing)"

zep_finish
