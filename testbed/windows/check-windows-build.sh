#!/usr/bin/env bash
# testbed/windows/check-windows-build.sh [BUILD_DIR]
#
# Compiles, for Windows, every C++ source of the programs that ship to the operators' stations
# (the operator window `upgrader`, the command `upgrader-cli` once it exists, and the benchmark
# `upgrader-bench`) and of every library they link, except the simulated family (sim, built on
# pseudo-terminals): MinGW-w64's g++ with -fsyntax-only, against Debian's Qt headers, with the
# defines of Qt's own win32-g++ platform. Each Q_OS_WIN branch is compiled and a call Windows lacks
# is an error. Windows resource scripts under packaging/ go through windres. Nothing is linked or
# run. Exits 1 and names the files that failed.
#
# The list of sources, their include folders and defines come from CMake's file API of a host
# build in BUILD_DIR (default: build, configured here if needed), so new sources and libraries are
# picked up as the CMakeLists name them. The generated moc and uic outputs of that build are
# compiled along (moc parsed the headers as on Linux).
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
build=$(realpath -m "${1:-build}")

# The programs checked, with all they link; and the libraries left out.
roots=(upgrader upgrader-cli upgrader-bench)
excluded=(sim)

cxx=x86_64-w64-mingw32-g++-posix
windres=x86_64-w64-mingw32-windres
for tool in "$cxx" "$windres"; do
    if ! command -v "$tool" >/dev/null; then
        echo "check-windows-build: $tool not found (Debian package g++-mingw-w64-x86-64-posix)" >&2
        exit 2
    fi
done

work=$build/windows-check
rm -rf "$work" && mkdir -p "$work/logs" "$work/lz4" "$work/sodium" "$work/posix-only"

# A host configuration with a file API query of its own.
query=$build/.cmake/api/v1/query/client-windows-check
mkdir -p "$query"
echo '{"requests":[{"kind":"codemodel","version":2}]}' >"$query/query.json"
cmake -S "$root" -B "$build" -G Ninja >/dev/null

# LZ4's headers alone: its include folder here is /usr/include, which must not come before the
# cross compiler's own C library headers.
lz4_include=$(pkg-config --variable=includedir liblz4)
ln -s "$lz4_include"/lz4*.h "$work/lz4/"
# libsodium's the same way: sodium.h and its folder.
sodium_include=$(pkg-config --variable=includedir libsodium)
ln -s "$sodium_include/sodium.h" "$sodium_include/sodium" "$work/sodium/"

# Headers of POSIX that MinGW supplies but Windows and its other compilers (MSVC) do not: a source
# that includes one would not build with every Windows Qt. (pthread.h stays: MinGW's libstdc++
# threads are built on it.)
for header in unistd.h dirent.h getopt.h libgen.h strings.h sched.h semaphore.h \
    sys/time.h sys/param.h sys/file.h sys/unistd.h sys/fcntl.h sys/cdefs.h; do
    mkdir -p "$(dirname "$work/posix-only/$header")"
    printf '#error "<%s> is POSIX, not Windows: put the call behind a platform seam with a Windows side"\n' \
        "$header" >"$work/posix-only/$header"
done

# Windows' side of Qt's headers: Q_OS_WIN comes from _WIN32, which the cross compiler defines, and
# Debian's qconfig.h needs nothing more; the rest is Qt's win32-g++ platform: its defines
# (mkspecs/common/g++-win32.conf) below and its platform folder in place of linux-g++'s.
cat >"$work/common.rsp" <<EOF
-fsyntax-only
-DUNICODE
-D_UNICODE
-DWIN32
-DMINGW_HAS_SECURE_API=1
-I
"$work/posix-only"
-isystem
"$work/lz4"
-isystem
"$work/sodium"
EOF

# Reads the file API's reply: one response file of flags per compile group, and a list of
# "target<TAB>source<TAB>response file" lines, plus the autogen targets to bring up to date.
cat >"$work/sources.cmake" <<'EOF'
cmake_minimum_required(VERSION 3.19)  # string(JSON)
function(quote out value)
    string(REPLACE "\\" "\\\\" value "${value}")
    string(REPLACE "\"" "\\\"" value "${value}")
    set(${out} "\"${value}\"" PARENT_SCOPE)
endfunction()

set(reply "${BUILD}/.cmake/api/v1/reply")
file(GLOB indexes "${reply}/index-*.json")
list(SORT indexes)
list(GET indexes -1 index_file)
file(READ "${index_file}" index)
string(JSON codemodel_file GET "${index}" reply client-windows-check query.json responses 0 jsonFile)
file(READ "${reply}/${codemodel_file}" codemodel)

# Name and file of every target, by id.
string(JSON target_count LENGTH "${codemodel}" configurations 0 targets)
math(EXPR last "${target_count} - 1")
set(all_names "")
foreach(i RANGE ${last})
    string(JSON id GET "${codemodel}" configurations 0 targets ${i} id)
    string(JSON name GET "${codemodel}" configurations 0 targets ${i} name)
    string(JSON json GET "${codemodel}" configurations 0 targets ${i} jsonFile)
    string(MD5 key "${id}")
    set(name_${key} "${name}")
    set(json_${key} "${json}")
    set(json_of_${name} "${json}")
    list(APPEND all_names "${name}")
endforeach()

# The roots that exist here, then everything they depend on that has sources of its own.
set(checked "")
set(missing "")
foreach(root IN LISTS ROOTS)
    if(NOT root IN_LIST all_names)
        list(APPEND missing "${root}")
        continue()
    endif()
    list(APPEND checked "${root}")
    file(READ "${reply}/${json_of_${root}}" target)
    string(JSON dep_count ERROR_VARIABLE no_deps LENGTH "${target}" dependencies)
    if(no_deps)
        continue()
    endif()
    math(EXPR dep_last "${dep_count} - 1")
    foreach(d RANGE ${dep_last})
        string(JSON id GET "${target}" dependencies ${d} id)
        string(MD5 key "${id}")
        file(READ "${reply}/${json_${key}}" dep)
        string(JSON type GET "${dep}" type)
        if(type MATCHES "^(STATIC_LIBRARY|SHARED_LIBRARY|OBJECT_LIBRARY|MODULE_LIBRARY|EXECUTABLE)$"
           AND NOT name_${key} IN_LIST EXCLUDED)
            list(APPEND checked "${name_${key}}")
        endif()
    endforeach()
endforeach()
list(REMOVE_DUPLICATES checked)

set(list_text "")
set(autogen "")
set(group_number 0)
foreach(name IN LISTS checked)
    if("${name}_autogen" IN_LIST all_names)
        list(APPEND autogen "${name}_autogen")
    endif()
    file(READ "${reply}/${json_of_${name}}" target)
    string(JSON group_count ERROR_VARIABLE no_groups LENGTH "${target}" compileGroups)
    if(no_groups)
        continue()
    endif()
    math(EXPR group_last "${group_count} - 1")
    foreach(g RANGE ${group_last})
        string(JSON language GET "${target}" compileGroups ${g} language)
        if(NOT language STREQUAL "CXX")
            continue()
        endif()
        # The flags: the standard and warnings of the host build (not its optimisation, position-
        # independent code or sanitizers), its defines and include folders, with Qt's Linux
        # platform folder swapped for Windows'.
        set(rsp "")
        string(JSON fragment_count ERROR_VARIABLE none LENGTH "${target}" compileGroups ${g} compileCommandFragments)
        if(NOT none AND fragment_count GREATER 0)
            math(EXPR fragment_last "${fragment_count} - 1")
            foreach(f RANGE ${fragment_last})
                string(JSON fragment GET "${target}" compileGroups ${g} compileCommandFragments ${f} fragment)
                separate_arguments(words UNIX_COMMAND "${fragment}")
                foreach(word IN LISTS words)
                    if(word MATCHES "^-(std=|W|D)")
                        quote(q "${word}")
                        string(APPEND rsp "${q}\n")
                    endif()
                endforeach()
            endforeach()
        endif()
        string(JSON define_count ERROR_VARIABLE none LENGTH "${target}" compileGroups ${g} defines)
        if(NOT none AND define_count GREATER 0)
            math(EXPR define_last "${define_count} - 1")
            foreach(d RANGE ${define_last})
                string(JSON define GET "${target}" compileGroups ${g} defines ${d} define)
                quote(q "-D${define}")
                string(APPEND rsp "${q}\n")
            endforeach()
        endif()
        string(JSON include_count ERROR_VARIABLE none LENGTH "${target}" compileGroups ${g} includes)
        if(NOT none AND include_count GREATER 0)
            math(EXPR include_last "${include_count} - 1")
            foreach(n RANGE ${include_last})
                string(JSON path GET "${target}" compileGroups ${g} includes ${n} path)
                string(JSON system ERROR_VARIABLE not_system GET "${target}" compileGroups ${g} includes ${n} isSystem)
                if(path MATCHES "/mkspecs/[^/]+$")
                    get_filename_component(path "${path}" DIRECTORY)
                    set(path "${path}/win32-g++")
                    if(NOT EXISTS "${path}/qplatformdefs.h")
                        message(FATAL_ERROR "Qt's win32-g++ platform folder not found: ${path}")
                    endif()
                endif()
                quote(q "${path}")
                if(NOT not_system AND system)
                    string(APPEND rsp "-isystem\n${q}\n")
                else()
                    string(APPEND rsp "-I\n${q}\n")
                endif()
            endforeach()
        endif()
        math(EXPR group_number "${group_number} + 1")
        set(rsp_file "${WORK}/group-${group_number}.rsp")
        file(WRITE "${rsp_file}" "${rsp}")

        string(JSON source_count LENGTH "${target}" compileGroups ${g} sourceIndexes)
        math(EXPR source_last "${source_count} - 1")
        foreach(s RANGE ${source_last})
            string(JSON index GET "${target}" compileGroups ${g} sourceIndexes ${s})
            string(JSON path GET "${target}" sources ${index} path)
            if(NOT IS_ABSOLUTE "${path}")
                set(path "${SOURCE}/${path}")
            endif()
            string(APPEND list_text "${name}\t${path}\t${rsp_file}\n")
        endforeach()
    endforeach()
endforeach()

file(WRITE "${WORK}/sources.tsv" "${list_text}")
string(REPLACE ";" " " autogen "${autogen}")
string(REPLACE ";" " " checked "${checked}")
string(REPLACE ";" " " missing "${missing}")
file(WRITE "${WORK}/autogen.txt" "${autogen}\n")
file(WRITE "${WORK}/targets.txt" "${checked}\n")
file(WRITE "${WORK}/missing.txt" "${missing}\n")
EOF
cmake -DBUILD="$build" -DSOURCE="$root" -DWORK="$work" -DROOTS="$(IFS=';'; echo "${roots[*]}")" \
    -DEXCLUDED="$(IFS=';'; echo "${excluded[*]}")" -P "$work/sources.cmake"

# The generated moc and uic outputs (CMake builds the libraries they depend on first).
read -r -a autogen <"$work/autogen.txt"
if [ ${#autogen[@]} -gt 0 ] && ! cmake --build "$build" --target "${autogen[@]}" >"$work/logs/host-build.log" 2>&1; then
    cat "$work/logs/host-build.log"
    echo "windows check: the host build in $build that generates the moc and uic outputs failed" >&2
    exit 1
fi

echo "windows check: targets $(cat "$work/targets.txt")"
missing=$(cat "$work/missing.txt")
[ -z "$missing" ] || echo "windows check: not in this tree: $missing"
# A check that found nothing to compile would pass for nothing.
if [[ " $missing " == *" upgrader "* ]] || [ ! -s "$work/sources.tsv" ]; then
    echo "windows check: the operator program's sources were not found in $build" >&2
    exit 1
fi

# One compile per source, as many at a time as there are processors; each leaves its log and, on
# failure, a mark. The logs are shown afterwards, one file at a time.
log_of() {  # target source
    local relative=${2#"$ROOT"/}
    echo "$WORK/logs/$1-${relative//\//_}.log"
}
compile_one() {
    local log
    log=$(log_of "$1" "$2")
    "$CXX" @"$WORK/common.rsp" @"$3" "$2" >"$log" 2>&1 || touch "$log.failed"
}
export WORK=$work ROOT=$root CXX=$cxx
export -f log_of compile_one
count=$(wc -l <"$work/sources.tsv")
tr '\t' '\n' <"$work/sources.tsv" | xargs -d '\n' -n 3 -P "$(nproc)" bash -c 'compile_one "$@"' compile_one
: >"$work/failed.txt"
while IFS=$'\t' read -r target source _; do
    log=$(log_of "$target" "$source")
    if [ -e "$log.failed" ]; then
        echo "FAILED: ${source#"$root"/} ($target)"
        cat "$log"
        echo "${source#"$root"/}" >>"$work/failed.txt"
    elif [ -s "$log" ]; then
        echo "warnings: ${source#"$root"/} ($target)"
        cat "$log"
    fi
done <"$work/sources.tsv"

# The resource scripts a Windows build embeds.
shopt -s nullglob
for rc in "$root"/packaging/*.rc; do
    count=$((count + 1))
    if ! "$windres" "$rc" -O coff -o "$work/$(basename "$rc").o" >"$work/logs/$(basename "$rc").log" 2>&1; then
        echo "FAILED: ${rc#"$root"/} (windres)"
        cat "$work/logs/$(basename "$rc").log"
        echo "${rc#"$root"/}" >>"$work/failed.txt"
    fi
done

failed=$(wc -l <"$work/failed.txt")
echo "windows check: $count files compiled for Windows, $failed failed"
if [ "$failed" -gt 0 ]; then
    sed 's/^/  failed: /' "$work/failed.txt"
    exit 1
fi
