#!/usr/bin/env bash
# testbed/windows/test-installer.sh SETUP.exe VERSION
#
# The installer under Wine, silently as a scripted station would run it: "/S" installs the
# programs in Program Files with their Start menu folder; the installed upgrader-cli.exe must print
# its version; the uninstaller, silent too, must take the programs and the menu folder away again.
set -euo pipefail
setup=$1
version=$2
here=$(cd "$(dirname "$0")" && pwd)
prefix=${WINEPREFIX:-${UPGRADER_WIN_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/upgrader-win}/wineprefix}
installed="$prefix/drive_c/Program Files/Upgrader"
menu="$prefix/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Upgrader"
[ -f "$setup" ] || { echo "test-installer: no installer at $setup (./run windows makes it)" >&2; exit 1; }
fail() { echo "installer under Wine: $*" >&2; exit 1; }
# Waits up to 60 s for a condition: the uninstaller runs as a copy of itself and returns first.
wait_for() {
    local deadline=$((SECONDS + 60))
    until eval "$1"; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.2
    done
}

"$here/wine-run" "$setup" /S || fail "the silent install ended with $?"
wait_for '[ -f "$installed/upgrader-cli.exe" ]' || fail "nothing installed in $installed"
for file in upgrader.exe upgrader-cli.exe fwimage.exe libpq.dll LICENCE.txt uninstall.exe; do
    [ -f "$installed/$file" ] || fail "$file missing from $installed"
done
for link in "Upgrader.lnk" "Configuration folder.lnk" "Uninstall Upgrader.lnk"; do
    [ -f "$menu/$link" ] || fail "the Start menu has no $link"
done
said=$("$here/wine-run" 'C:\Program Files\Upgrader\upgrader-cli.exe' --version | tr -d '\r')
[ "$said" = "upgrader-cli $version" ] || fail "the installed upgrader-cli.exe says \"$said\", not \"upgrader-cli $version\""
echo "installed: $(cd "$installed" && ls | tr '\n' ' ')"
echo "the installed command says: $said"

"$here/wine-run" 'C:\Program Files\Upgrader\uninstall.exe' /S || fail "the silent uninstall ended with $?"
wait_for '[ ! -e "$installed" ] && [ ! -e "$menu" ]' ||
    fail "still there after the uninstall: $(ls -d "$installed" "$menu" 2>/dev/null | tr '\n' ' ')"
echo "uninstalled: $installed and the Start menu folder are gone"
