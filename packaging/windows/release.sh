#!/usr/bin/env bash
# packaging/windows/release.sh   (./run windows calls it after installing what it needs)
#
# Cross-builds the Windows release in build-win/ with MinGW-w64 against a static Qt for MinGW,
# makes dist/upgrader-VERSION-win64.zip and the installer dist/upgrader-VERSION-setup.exe, then
# runs the Windows tests under Wine (CTest with Wine as the emulator): the suites built for
# Windows, the installer's silent install, run and uninstall, and an upgrade by upgrader-cli.exe
# against the native upgrader-sim. The last line gives their counts: "N passed, M failed" (with
# ", K skipped" when a test skipped itself); a test that failed is tried once more, and named.
#
#   QT_WIN_PREFIX       a static Qt 5.15 for MinGW-w64 of your own (default: the toolchain
#                       archive ../shared/toolchains/qt5.15.8-mingw64-static.tar.xz, unpacked once
#                       into the cache folder)
#   UPGRADER_WIN_DEPS   LZ4 and libpq for MinGW-w64 (default: mingw64-deps.tar.xz, likewise)
#   UPGRADER_QPSQL_SOURCE  Qt's src/plugins/sqldrivers/psql of the same Qt version, for a Qt
#                       without a PostgreSQL driver (default: fetched once from Debian's
#                       qtbase-opensource-src into the cache folder)
#   UPGRADER_TOOLCHAINS the archives' folder (default: ../shared/toolchains beside the checkout)
#   UPGRADER_WIN_CACHE  the cache folder (default: ~/.cache/upgrader-win); the Wine prefix is there
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
toolchains=${UPGRADER_TOOLCHAINS:-$root/../shared/toolchains}
cache=${UPGRADER_WIN_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/upgrader-win}
export UPGRADER_WIN_CACHE=$cache
build=$root/build-win
jobs=$(nproc)
started=$(date +%s)

# Unpacks an archive of the toolchains folder into the cache once; again only when the archive
# changed (its size and time are kept beside what it gave).
unpack() {  # archive folder-it-holds
    local archive=$toolchains/$1 folder=$cache/$2 stamp
    [ -f "$archive" ] || { echo "windows: $archive not found (set QT_WIN_PREFIX and UPGRADER_WIN_DEPS, or UPGRADER_TOOLCHAINS)" >&2; exit 1; }
    stamp=$(stat -c '%s %Y' "$archive")
    if [ ! -d "$folder" ] || [ "$(cat "$folder.unpacked" 2>/dev/null)" != "$stamp" ]; then
        echo "== unpacking $1 into $cache"
        rm -rf "$folder" "$folder.unpacked"
        mkdir -p "$cache"
        tar -xJf "$archive" -C "$cache"
        [ -d "$folder" ] || { echo "windows: $archive holds no $2/" >&2; exit 1; }
        echo "$stamp" >"$folder.unpacked"
    fi
}
if [ -z "${QT_WIN_PREFIX:-}" ]; then
    unpack qt5.15.8-mingw64-static.tar.xz qt5.15.8-mingw64-static
    export QT_WIN_PREFIX=$cache/qt5.15.8-mingw64-static
fi
if [ -z "${UPGRADER_WIN_DEPS:-}" ]; then
    unpack mingw64-deps.tar.xz mingw64-deps
    export UPGRADER_WIN_DEPS=$cache/mingw64-deps
fi

# Qt's PostgreSQL driver for the line's server: a static Qt without one (the toolchain's has none)
# gets it built from Qt's own source of the same version, Debian's qtbase-opensource-src, which apt
# fetches once (checked against Debian's signed index) with an index of its own in the cache.
qt_version=$(sed -n 's/^set(PACKAGE_VERSION "\{0,1\}\([0-9.]*\)"\{0,1\})$/\1/p' "$QT_WIN_PREFIX/lib/cmake/Qt5Core/Qt5CoreConfigVersion.cmake")
if [ -z "${UPGRADER_QPSQL_SOURCE:-}" ] && ! ls "$QT_WIN_PREFIX"/plugins/sqldrivers/*qsqlpsql* >/dev/null 2>&1; then
    qpsql=$cache/qsqlpsql-$qt_version
    if [ ! -f "$qpsql/qsql_psql.cpp" ]; then
        echo "== fetching Qt $qt_version's PostgreSQL driver from Debian's qtbase-opensource-src"
        apt_dir=$cache/apt-src
        rm -rf "$apt_dir" "$qpsql" "$qpsql.part"
        mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/get"
        . /etc/os-release
        mirror=$(sed -n 's/^URIs: *\(http[^ ]*\/debian\)\/* *$/\1/p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -1)
        echo "deb-src ${mirror:-http://deb.debian.org/debian} $VERSION_CODENAME main" >"$apt_dir/sources.list"
        apt=(-q -o Dir::Etc::SourceList="$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
             -o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache="$apt_dir/cache" -o APT::Sandbox::User="$(id -un)")
        if ! apt-get "${apt[@]}" update >"$apt_dir/apt.log" 2>&1 ||
           ! (cd "$apt_dir/get" && apt-get "${apt[@]}" source --download-only qtbase-opensource-src) >>"$apt_dir/apt.log" 2>&1; then
            tail -5 "$apt_dir/apt.log" >&2
            echo "windows: Qt's PostgreSQL driver could not be fetched; set UPGRADER_QPSQL_SOURCE to the folder" \
                 "src/plugins/sqldrivers/psql of Qt $qt_version's qtbase source" >&2
            exit 1
        fi
        debian_version=$(sed -n 's/^Version: \(.*\)$/\1/p' "$apt_dir"/get/*.dsc | head -1)
        case $debian_version in
        "$qt_version"+*) ;;
        *) echo "windows: Debian's qtbase is $debian_version, not Qt $qt_version; set UPGRADER_QPSQL_SOURCE" >&2; exit 1 ;;
        esac
        mkdir -p "$qpsql.part"
        tar -xJf "$apt_dir"/get/*.orig.tar.xz -C "$qpsql.part" --strip-components=5 --wildcards '*/src/plugins/sqldrivers/psql/*'
        mv "$qpsql.part" "$qpsql"
        rm -rf "$apt_dir"
    fi
    export UPGRADER_QPSQL_SOURCE=$qpsql
fi

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
# The native simulator the upgrade under Wine runs against, and its line's PostgreSQL server.
echo "== the native upgrader-sim and local_pg_server (build/)"
cmake -S "$root" -B "$root/build" -G Ninja "${launcher[@]}" >/dev/null
cmake --build "$root/build" --target upgrader-sim local_pg_server -- -j"$jobs"

echo "== cross-building for Windows (build-win/) against $QT_WIN_PREFIX"
build_started=$(date +%s)
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/packaging/windows/mingw64.cmake" \
    -DCMAKE_CROSSCOMPILING_EMULATOR="$root/testbed/windows/wine-run" \
    -DUPGRADER_NATIVE_SIM="$root/build/testbed/upgrader-sim/upgrader-sim" \
    -DUPGRADER_NATIVE_PG_SERVER="$root/build/testbed/pg-server/local_pg_server" \
    -DUPGRADER_QPSQL_SOURCE="${UPGRADER_QPSQL_SOURCE:-}" \
    "${launcher[@]}" >/dev/null
cmake --build "$build" -- -j"$jobs"
echo "== cross-build: $(($(date +%s) - build_started)) s"

version=$(sed -n 's/^project(upgrader .*VERSION \([0-9][0-9.]*\)).*/\1/p' "$root/CMakeLists.txt")
name=upgrader-$version-win64
stage=$build/stage/$name
rm -rf "$build/stage" && mkdir -p "$build/stage" "$root/dist"
cmake --install "$build" --prefix "$stage" >/dev/null
# The licence: the Debian package's own statement, in Windows' line ends.
sed -n '/^License: /,$p' "$root/packaging/debian/copyright" | sed 's/^ //; s/$/\r/' >"$stage/LICENCE.txt"
zip=$root/dist/$name.zip
setup=$root/dist/upgrader-$version-setup.exe
rm -f "$zip" "$setup"
(cd "$build/stage" && cmake -E tar cf "$zip" --format=zip "$name")
makensis -V2 -DVERSION="$version" -DSTAGE="$stage" -DLICENCE="$stage/LICENCE.txt" -DOUTFILE="$setup" \
    "$root/packaging/windows/upgrader.nsi"
echo "== $zip ($(stat -c %s "$zip") bytes)"
echo "== $setup ($(stat -c %s "$setup") bytes)"

echo "== the Windows tests under Wine"
tests_started=$(date +%s)
set +e
(cd "$build" && ctest --output-on-failure -j"$jobs") | tee "$build/wine-tests.log"
# Wine itself at times stalls a program for many seconds (seen once: a 100-byte read past its
# 20 s deadline in a fresh prefix, passing ten times in a row after). A test that failed gets one
# more try, alone; it is counted as passed only when that try passes, and named as retried.
: >"$build/wine-tests-again.log"
if grep -qE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .*(Failed|Timeout|Exception|Not Run)' "$build/wine-tests.log"; then
    echo "== a second try, alone, for the tests that failed under Wine"
    (cd "$build" && ctest --output-on-failure --rerun-failed) | tee "$build/wine-tests-again.log"
fi
set -e
echo "== Wine tests: $(($(date +%s) - tests_started)) s; all: $(($(date +%s) - started)) s"
# The counts from CTest's line per test ("1/9 Test #3: tst_platform ....   Passed    0.2 sec"),
# the second try's line counting for a test that had one; a test skipped by its own choice
# (exit 77) is counted apart, a test that never reported as failed.
declare -A outcome
while read -r name status; do
    outcome[$name]=$status
done < <(cat "$build/wine-tests.log" "$build/wine-tests-again.log" |
         sed -nE 's/^ *[0-9]+\/[0-9]+ Test +#[0-9]+: ([^ ]+) \.*[ *]*([A-Za-z]+).*/\1 \2/p')
retried=$(sed -nE 's/^ *[0-9]+\/[0-9]+ Test +#[0-9]+: ([^ ]+) \.*[ *]*Passed.*/\1/p' "$build/wine-tests-again.log" | tr '\n' ' ')
total=${#outcome[@]}
passed=0 skipped=0
for name in "${!outcome[@]}"; do
    case ${outcome[$name]} in
    Passed) passed=$((passed + 1)) ;;
    Skipped) skipped=$((skipped + 1)) ;;
    esac
done
failed=$((total - passed - skipped))
[ "$total" -gt 0 ] || failed=1
[ -z "$retried" ] || echo "passed on a second try under Wine: $retried"
if [ "$skipped" -gt 0 ]; then
    echo "$passed passed, $failed failed, $skipped skipped"
else
    echo "$passed passed, $failed failed"
fi
[ "$failed" -eq 0 ]
