#!/usr/bin/env bash
# The Debian package as a user gets it: lintian on the .deb, then a fresh Debian 12 (bookworm)
# chroot where `apt-get install ./upgrader_*.deb` resolves its dependencies from Debian's mirror,
# and the installed programs run: --version of each, upgrader-sim with upgrader-cli upgrading the
# Meter, fwimage, the window finding its configuration, the history, and the manual pages.
#
#   packaging/test-package.sh [PACKAGE.deb]     (root; without a package, ./run package first)
#
# The bootstrapped chroot is kept as a tarball, and the downloaded packages too, under
# $UPGRADER_PACKAGE_CACHE (default /var/cache/upgrader-package-test), so a second run skips
# debootstrap; each run unpacks a fresh chroot from it. Any failure ends the run with non-zero.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

fail() {
    echo "test-package: FAILED: $*" >&2
    exit 1
}
step() { echo "== test-package: $*"; }

[ "$(id -u)" -eq 0 ] || fail "needs root (debootstrap, chroot, mounts)"

started=$SECONDS
# Whatever ends the run, it says so (set -e ends it silently otherwise); the chroot's cleanup
# below takes this over once there is a chroot.
trap 'status=$?; echo "== test-package: $([ $status -eq 0 ] && echo passed || echo "FAILED (line $LINENO)") after $((SECONDS - started)) s"' EXIT
suite=bookworm
arch=$(dpkg --print-architecture)
cache=${UPGRADER_PACKAGE_CACHE:-/var/cache/upgrader-package-test}

deb=${1:-}
if [ -z "$deb" ]; then
    ./run package
    deb=$(ls "$root"/build-deb/upgrader_*_"$arch".deb)
fi
[ -f "$deb" ] || fail "no package at $deb"
deb=$(realpath "$deb")
version=$(dpkg-deb -f "$deb" Version)
step "package $deb (version $version)"

missing=()
for p in lintian debootstrap; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# lintian: no error. Its warnings are printed for the reader; the known ones are listed in the
# README's package section.
step "lintian"
lintian --fail-on error --info "$deb" || fail "lintian reports errors"

# The mirror this machine's apt uses, so the chroot sees the same Debian (one-line and deb822
# sources alike; the first archive and the first security archive).
sources=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null || true)
uris=$(sed -nE 's/^URIs:[[:space:]]*//p; s/^deb[[:space:]]+(\[[^]]*\][[:space:]]+)?([^[:space:]]+).*/\2/p' <<<"$sources")
mirror=$(grep -v -- '-security' <<<"$uris" | head -n 1 || true)
security=$(grep -- '-security' <<<"$uris" | head -n 1 || true)
[ -n "$mirror" ] || fail "no Debian mirror found in /etc/apt/sources.list*"
step "mirror $mirror${security:+, security $security}"

mkdir -p "$cache/archives"
tarball=$cache/$suite-$arch-minbase.tar
if [ ! -f "$tarball" ]; then
    step "bootstrapping $suite (kept in $tarball)"
    fresh=$(mktemp -d "$cache/bootstrap.XXXXXX")
    # man-db: the test reads the manual pages; it is no dependency of the package.
    debootstrap --variant=minbase --include=man-db --cache-dir="$cache/archives" \
        "$suite" "$fresh" "$mirror" || { rm -rf "$fresh"; fail "debootstrap"; }
    tar -C "$fresh" -cf "$tarball.part" . && mv "$tarball.part" "$tarball"
    rm -rf "$fresh"
fi

chroot_dir=$(mktemp -d /var/tmp/upgrader-package-test.XXXXXX)
mounts=()
cleanup() {
    local status=$?
    # The simulator and anything else still running in the chroot.
    if [ -d "$chroot_dir/proc" ]; then
        for link in /proc/[0-9]*/root; do
            if [ "$(readlink "$link" 2>/dev/null)" = "$chroot_dir" ]; then
                pid=${link#/proc/}
                kill -TERM "${pid%/root}" 2>/dev/null || true
            fi
        done
    fi
    local i
    for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
        umount "${mounts[i]}" 2>/dev/null || umount -l "${mounts[i]}" 2>/dev/null || true
    done
    # Only when nothing is mounted there any more: never delete through a bind mount.
    if ! grep -qF " $chroot_dir/" /proc/mounts; then
        rm -rf "$chroot_dir"
    else
        echo "test-package: still mounted below $chroot_dir, left in place" >&2
    fi
    echo "== test-package: $([ $status -eq 0 ] && echo passed || echo FAILED) after $((SECONDS - started)) s"
    exit $status
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

mount_in() {  # mount_in TARGET ARGS...: mounts below the chroot and remembers it for the cleanup
    local target=$chroot_dir/$1
    shift
    mkdir -p "$target"
    mount "$@" "$target"
    mounts+=("$target")
}

step "fresh chroot in $chroot_dir"
tar -C "$chroot_dir" -xf "$tarball"
mount_in proc -t proc proc
mount_in sys -t sysfs -o ro sysfs
# The simulator's pseudo-terminals: the host's /dev with its /dev/pts and /dev/ptmx.
mount_in dev --bind /dev
mount_in dev/pts --bind /dev/pts
mount_in var/cache/apt/archives --bind "$cache/archives"
cp /etc/resolv.conf "$chroot_dir/etc/resolv.conf" 2>/dev/null || true
{
    echo "deb $mirror $suite main"
    echo "deb $mirror $suite-updates main"
    [ -z "$security" ] || echo "deb $security $suite-security main"
} >"$chroot_dir/etc/apt/sources.list"
cp "$deb" "$chroot_dir/tmp/"
in_chroot() { chroot "$chroot_dir" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"; }

step "apt-get install ./$(basename "$deb")"
in_chroot apt-get update -qq || fail "apt-get update in the chroot"
# What the package recommends (the window's font) must resolve too; it is installed only in
# simulation, being large and of no use without a display.
plan=$(in_chroot apt-get install -s -y "/tmp/$(basename "$deb")") || fail "apt-get cannot plan the installation"
grep -q '^Inst fonts-noto-cjk ' <<<"$plan" || fail "the package's recommendation fonts-noto-cjk does not resolve"
in_chroot env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
    "/tmp/$(basename "$deb")" || fail "apt-get install of the package"

step "the installed programs"
cat >"$chroot_dir/tmp/inside.sh" <<'INSIDE'
#!/bin/bash
# Runs in the chroot: the installed package at work. $1 is the package's version.
set -euo pipefail
version=$1
fail() { echo "inside: FAILED: $*" >&2; exit 1; }
# Waits up to $1 seconds for the command that follows to succeed.
wait_for() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.2
    done
}

for program in upgrader upgrader-cli upgrader-sim fwimage; do
    [ "$(command -v $program)" = "/usr/bin/$program" ] || fail "$program is not in /usr/bin"
    out=$($program --version) || fail "$program --version exits with $?"
    [ "$out" = "$program $version" ] || fail "$program --version says '$out'"
done
for program in upgrader-demo upgrader-bench; do
    ! command -v $program >/dev/null || fail "the development program $program is installed"
done
rules=/usr/lib/udev/rules.d/70-upgrader-family.rules
grep -q 'TAG+="uaccess"' $rules || fail "$rules gives no uaccess"
grep -q 'ENV{ID_MM_DEVICE_IGNORE}="1"' $rules || fail "$rules does not keep ModemManager away"
[ -f /usr/share/applications/upgrader.desktop ] || fail "no desktop entry"
[ -f /usr/share/icons/hicolor/scalable/apps/upgrader.svg ] || fail "no icon"
[ -f /usr/share/bash-completion/completions/upgrader-cli ] || fail "no bash completion"

# The simulated family: it writes a configuration and the images for its devices.
work=/tmp/sim
upgrader-sim --work $work --fast >/tmp/sim.log 2>&1 &
sim=$!
wait_for 30 test -s $work/ports.json || { cat /tmp/sim.log; fail "upgrader-sim published no ports"; }
export UPGRADER_SIM_CATALOG=$work/ports.json UPGRADER_WAIT_SCALE=0.05
cd $work

# fwimage (with its LZ4): the simulator's Meter image passes, and an image of our own is built.
fwimage info fw/meter_2.bin >/tmp/info.txt || { cat /tmp/info.txt; fail "fwimage info of the Meter image"; }
head -c 20000 /usr/bin/upgrader-cli >/tmp/part.raw
fwimage build -o /tmp/own.bin --version 3.4.5 0x08004000:/tmp/part.raw || fail "fwimage build"
fwimage info /tmp/own.bin >/tmp/info.txt || { cat /tmp/info.txt; fail "fwimage info of the built image"; }
grep -q '3\.4\.5' /tmp/info.txt || { cat /tmp/info.txt; fail "fwimage info does not show the built version"; }

upgrader-cli list || fail "upgrader-cli list exits with $?"
upgrader-cli upgrade Meter || fail "upgrader-cli upgrade Meter exits with $?"
# The history (Qt's SQLite driver, a dependency added by hand) holds the job.
records=$(upgrader-cli history --target Meter --json) || fail "upgrader-cli history exits with $?"
[ "$(printf '%s\n' "$records" | grep -c '"target"')" -eq 1 ] || fail "the history holds not one Meter record: $records"
# The line's server through Qt's PostgreSQL driver (a dependency added by hand): a port nobody
# listens on is refused by the server's side, not by a missing driver, and the record waits.
sync_status=0
UPGRADER_HISTORY_SERVER="host=127.0.0.1 port=9 dbname=upgrades user=upgrader" upgrader-cli history sync \
    >/tmp/sync.txt 2>&1 || sync_status=$?
[ "$sync_status" -eq 8 ] || { cat /tmp/sync.txt; fail "upgrader-cli history sync exits with $sync_status, not 8"; }
grep -q "driver" /tmp/sync.txt && { cat /tmp/sync.txt; fail "Qt's PostgreSQL driver is missing"; }
grep -q "1 waiting" /tmp/sync.txt || { cat /tmp/sync.txt; fail "the Meter record does not wait for the server"; }
# The keys' place, and a line that trusts a key: the unsigned Meter image is refused (exit 6)
# before the device is touched, and taken once the key signed it.
[ -d /etc/upgrader/keys ] && [ -f /etc/upgrader/keys/README ] || fail "no /etc/upgrader/keys with its README"
fwimage keygen -o /etc/upgrader/keys/line >/tmp/keygen.txt || { cat /tmp/keygen.txt; fail "fwimage keygen"; }
[ "$(stat -c %a /etc/upgrader/keys/line.key)" = 600 ] || fail "the secret key is not mode 0600"
cp config.json /tmp/config-unsigned.json
sed -i 's|^{|{"trusted_keys": ["/etc/upgrader/keys/line.pub"],|' config.json
refused=0
upgrader-cli upgrade Meter >/tmp/refused.txt 2>&1 || refused=$?
[ "$refused" -eq 6 ] && grep -q "is not signed" /tmp/refused.txt || { cat /tmp/refused.txt; fail "an unsigned image was not refused with 6 ($refused)"; }
fwimage sign --key /etc/upgrader/keys/line.key fw/meter_2.bin || fail "fwimage sign"
upgrader-cli upgrade Meter || fail "upgrader-cli upgrade Meter of the signed image exits with $?"
cp /tmp/config-unsigned.json config.json

# The installed window works in the folder of its configuration: here, the current directory.
QT_QPA_PLATFORM=offscreen upgrader >/tmp/window.log 2>&1 &
window=$!
# Two files there (config.json and the simulator's ports.json): config.json is taken by its name.
found() { grep -q "^Current path: $work\$" /tmp/window.log && grep -Eq '^Using (\./)?config\.json$' /tmp/window.log; }
wait_for 30 found || { kill $window; cat /tmp/window.log; fail "the window did not take $work/config.json"; }
kill $window
wait $window || true

kill -TERM $sim
wait $sim || fail "upgrader-sim ended with $? on SIGTERM"

for page in upgrader upgrader-cli upgrader-sim fwimage; do
    man -P cat $page >/tmp/page.txt 2>/tmp/man.err || { cat /tmp/man.err; fail "man $page"; }
    grep -q 'EXIT STATUS' /tmp/page.txt || fail "man $page has no EXIT STATUS"
done
man -P cat upgrader-cli >/tmp/page.txt
grep -q 'upgrade TARGET' /tmp/page.txt || fail "man upgrader-cli does not render its commands"
echo "inside: all passed"
INSIDE
chmod +x "$chroot_dir/tmp/inside.sh"
in_chroot /tmp/inside.sh "$version" || fail "the installed package (see above)"
