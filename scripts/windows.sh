#!/usr/bin/env bash
# The Windows builds, from the same sources as the Linux one:
#   windows.sh deps   install the cross compilers and Wine when missing, lay
#                     out build-win32/ and build-win64/ (Qt unpacked from the
#                     shared archives, the toolchain files, SQLite's source
#                     for the tests' own SQLite)
#   windows.sh build  configure and build both (win32: what ships, build and
#                     link only; this kind of machine runs no 32-bit code)
#   windows.sh test   every test of build-win64/ under Wine; prints a CTest
#                     summary line and "windows: N passed, M failed, K skipped"
#   windows.sh zip    the zip for a technician (build-win32/, and build-win64/
#                     for the check below)
#   windows.sh sample the 64-bit zip unpacked into a fresh Wine prefix, run on
#                     the sample legacy data directory; schema, rows and log
#                     compared with the Linux build's run (build/)
#   windows.sh        all of these in turn
# The archives are looked for in ../shared/win32-qt beside the repository
# (WS_WIN_QT names another folder). The 32-bit build makes what ships (the
# tests run from the 64-bit one): that keeps the stage within its budget.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
qtdir=${WS_WIN_QT:-$root/../shared/win32-qt}
# A linked work tree finds them beside its main repository.
if [ -z "${WS_WIN_QT:-}" ] && [ ! -d "$qtdir" ]; then
    common=$(git rev-parse --path-format=absolute --git-common-dir 2>/dev/null)
    [ -n "$common" ] && qtdir=$(dirname "$(dirname "$common")")/shared/win32-qt
fi
jobs=${WS_JOBS:-$(nproc)}
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

arch_of() { [ "$1" = win32 ] && echo i686 || echo x86_64; }

deps() {
    local missing=() p
    for p in g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine64 socat tcl sqlite3; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "== Installing: ${missing[*]} (log: build-win-deps/apt.log)"
        export DEBIAN_FRONTEND=noninteractive
        mkdir -p build-win-deps
        { apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}"; } \
            >build-win-deps/apt.log 2>&1 || { tail -n 40 build-win-deps/apt.log; return 1; }
    fi
    [ -d "$qtdir" ] || { echo "No Qt archives in $qtdir" >&2; return 1; }

    # SQLite's source from Debian's archive, made into the one-file form
    # once; the tests build it with the cross compiler.
    local src=$root/build-win-deps
    if [ ! -f "$src/amalg/sqlite3.c" ]; then
        echo "== SQLite source for the tests"
        mkdir -p "$src/apt/lists/partial"
        sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources > "$src/apt/debsrc.sources"
        local apto=(-o "Dir::Etc::SourceList=$src/apt/debsrc.sources" -o Dir::Etc::SourceParts=/dev/null
                    -o "Dir::State::Lists=$src/apt/lists")
        (cd "$src" && apt-get "${apto[@]}" update -qq && apt-get "${apto[@]}" source --download-only sqlite3 \
            && tar -xf sqlite3_*.orig.tar.xz && mkdir -p amalg \
            && cd amalg && ../sqlite3-*/configure --disable-tcl >/dev/null && make -j"$jobs" sqlite3.c sqlite3.h >/dev/null) \
            >"$src/log" 2>&1 || { cat "$src/log"; return 1; }
    fi

    local preset arch
    for preset in win32 win64; do
        arch=$(arch_of $preset)
        mkdir -p "build-$preset/deps/sqlite"
        if [ ! -d "build-$preset/qt5-$arch" ]; then
            echo "== Unpacking Qt for $arch"
            tar -xf "$qtdir/qt5-$arch-w64-mingw32.tar.xz" -C "build-$preset" || return 1
        fi
        cp "$qtdir/toolchain-$arch-w64-mingw32.cmake" "build-$preset/"
        cmp -s "$src/amalg/sqlite3.c" "build-$preset/deps/sqlite/sqlite3.c" \
            || cp "$src/amalg/sqlite3.c" "$src/amalg/sqlite3.h" "build-$preset/deps/sqlite/"
    done
}

build() {
    local preset status=0 targets
    for preset in win32 win64; do
        echo "== Building $preset"
        cmake --preset $preset "${launcher[@]}" >"build-$preset/configure.log" 2>&1 \
            || { cat "build-$preset/configure.log"; return 1; }
        targets=()
        [ $preset = win32 ] && targets=(--target Core tamcore dbupdate)
        cmake --build "build-$preset" -j"$jobs" "${targets[@]}" >"build-$preset/build.log" 2>&1 \
            || { grep -E -B2 -A8 'error|Error' "build-$preset/build.log" | head -n 80; status=1; }
    done
    return $status
}

wine=/usr/lib/wine/wine64
winpath() { printf 'Z:%s' "${1//\//\\}"; }

# Tests that are not built for Windows, with the reason; the stage counts
# them as skipped.
not_on_windows=(
    "tst_serial: drives pseudo-terminals and termios directly (tst_serial_win covers the port)"
    "tst_serial_concurrency: pseudo-terminals"
    "tst_updatedata_kill: preloads a library (LD_PRELOAD) to kill dbupdate between statements"
    "tst_updateprofile_kill: preloads a library (LD_PRELOAD)"
    "powercut: preloads a library (LD_PRELOAD) to record the program's writes and replay power cuts"
    "packaging_consumer: installs and builds against the Linux package"
)

# A socat pseudo-terminal pair as COM1 and COM2 of the build's Wine prefix.
socat_pid=
serial_pair() {
    local b=$1 prefix=$1/wineprefix i
    rm -f "$b/com1" "$b/com2"
    socat pty,raw,echo=0,link="$b/com1" pty,raw,echo=0,link="$b/com2" &
    socat_pid=$!
    # The links appear once socat has opened both ends: waited for as long
    # as socat lives, however busy the machine.
    until [ -e "$b/com1" ] && [ -e "$b/com2" ]; do
        kill -0 "$socat_pid" 2>/dev/null || { echo "socat ended before laying the serial pair" >&2; return 1; }
        sleep 0.1
    done
    WINEPREFIX=$prefix WINEDEBUG=-all $wine wineboot -i >/dev/null 2>&1
    WINEPREFIX=$prefix WINEDEBUG=-all $wine reg add 'HKCU\Environment' /v QT_QPA_PLATFORM /d offscreen /f \
        >/dev/null 2>&1 && touch "$prefix/.offscreen"
    for i in 1 2; do
        WINEPREFIX=$prefix WINEDEBUG=-all $wine reg add 'HKLM\Software\Wine\Ports' /v COM$i \
            /d "$(readlink -f "$b/com$i")" /f >/dev/null 2>&1
        ln -sfn "$(readlink -f "$b/com$i")" "$prefix/dosdevices/com$i"
    done
}

stop_wine() {
    [ -n "$socat_pid" ] && kill "$socat_pid" 2>/dev/null
    socat_pid=
    WINEPREFIX=$1 /usr/lib/wine/wineserver -k 2>/dev/null
    true
}

run_tests() {
    local b=$root/build-win64 status=0
    rm -rf "$b/test-reports"
    serial_pair "$b" || return 1
    (cd "$b" && WS_SERIAL_PAIR=COM1,COM2 ctest --output-on-failure -j"$jobs" -LE '^fuzzing$') \
        >"$b/ctest.log" 2>&1 || status=1
    stop_wine "$b/wineprefix"
    # Failures in full; then QtTest's totals per program.
    [ $status -eq 0 ] || sed -n '/Failed\|FAIL!/,+20p' "$b/ctest.log" | head -n 200
    awk '/Start testing of/ { name = $5 } /^Totals:/ { print "  " name ": " $0 }' "$b"/test-reports/*.txt
    # What Wine cannot do, with the reasons, in a file; the count here.
    grep -h -E '^SKIP ' "$b"/test-reports/*.txt | sed 's/^SKIP *: *//' > "$b/skipped.txt"
    echo "  $(grep -c . "$b/skipped.txt") test functions skipped under Wine (reasons in build-win64/skipped.txt)"
    local p f s=${#not_on_windows[@]}
    rm -f "$b/counts"
    p=$(grep -cE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed' "$b/ctest.log")
    f=$(grep -cE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .*(Failed|Timeout|Exception|Not Run)' "$b/ctest.log")
    echo "Not built for Windows (reasons in scripts/windows.sh):" \
        "$(printf '%s\n' "${not_on_windows[@]}" | sed 's/:.*//' | paste -sd ' ')"
    grep -E '^[0-9]+% tests passed' "$b/ctest.log"
    echo "windows: $p passed, $f failed, $s skipped" | tee "$b/counts"
    return $status
}

project_version() { sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$root/build-$1/CMakeCache.txt"; }

# build-<preset>/workstation-core-<version>-<preset>.zip: one folder with the
# program, the libraries, the catalogue, the Qt plugins it loads and every
# DLL these import from Qt's folder (which holds the MinGW runtime too).
package() {
    local preset=$1 arch b=$root/build-$1 name qt out objdump added f dll
    arch=$(arch_of "$preset")
    qt=$b/qt5-$arch
    name=workstation-core-$(project_version "$preset")-$preset
    out=$b/zip/$name
    objdump=$arch-w64-mingw32-objdump
    rm -rf "$b/zip" "$b/$name.zip"
    mkdir -p "$out/platforms" "$out/sqldrivers"
    cp "$b/dbupdate/dbupdate.exe" "$b/core/Core.dll" "$b/tamcore/tamcore.dll" "$b/dbupdate/dbupdate_en.qm" "$out/" || return 1
    cp "$qt/plugins/platforms/qwindows.dll" "$out/platforms/" || return 1
    cp "$qt/plugins/sqldrivers/qsqlite.dll" "$out/sqldrivers/" || return 1
    added=1
    while [ $added -eq 1 ]; do
        added=0
        for f in "$out"/*.exe "$out"/*.dll "$out"/*/*.dll; do
            for dll in $("$objdump" -p "$f" | sed -n 's/^\s*DLL Name: //p'); do
                if [ -f "$qt/bin/$dll" ] && [ ! -f "$out/$dll" ]; then
                    cp "$qt/bin/$dll" "$out/"
                    added=1
                fi
            done
        done
    done
    # Debug information stays in the build; the runtime DLLs carry theirs too.
    "$arch-w64-mingw32-strip" --strip-unneeded "$out"/*.exe "$out"/*.dll "$out"/*/*.dll
    (cd "$b/zip" && cmake -E tar cf "../$name.zip" --format=zip "$name") || return 1
    printf '%s: %s bytes, %s files\n' "build-$preset/$name.zip" "$(stat -c %s "$b/$name.zip")" \
        "$(find "$out" -type f | wc -l)"
}

zips() {
    package win32 && package win64
}

# Everything of a data directory that the upgrade wrote: each file's schema
# and rows, backups included, and the log with the directory's own path
# taken out.
snapshot() {
    local dir=$1 f
    for f in "$dir"/*.db "$dir"/*.bak; do
        [ -e "$f" ] || continue
        echo "== $(basename "$f")"
        sqlite3 -readonly "$f" .dump
    done
    echo "== update.log"
    # Lines as lines: the Windows C runtime ends them with CR LF.
    P=$2 perl -pe 's/\r$//; s/\Q$ENV{P}\E/<dir>/g' "$dir/update.log"
}

sample() {
    local b=$root/build-win64 work=$root/build-win64/sample sub="样本 données" f name lstatus=0 wstatus=0
    name=workstation-core-$(project_version win64)-win64
    if [ ! -x "$root/build/dbupdate/dbupdate" ]; then
        echo "== Building the Linux dbupdate for the comparison"
        (cmake -S . -B build -DWS_WERROR=ON "${launcher[@]}" >/dev/null \
            && cmake --build build -j"$jobs" --target dbupdate >/dev/null) || return 1
    fi
    rm -rf "$work"
    mkdir -p "$work/linux/$sub" "$work/windows/$sub" "$work/app"
    for f in profile data qc syslog; do
        sqlite3 "$work/linux/$sub/$f.db" < "samples/legacy/$f.sql" || return 1
        sqlite3 "$work/windows/$sub/$f.db" < "samples/legacy/$f.sql" || return 1
    done
    (cd "$work/linux/$sub" && "$root/build/dbupdate/dbupdate" update.log) || lstatus=$?
    unzip -q "$b/$name.zip" -d "$work/app" || return 1
    # A fresh prefix: nothing but what the zip brings.
    (cd "$work/windows/$sub" && WINEPREFIX="$work/wineprefix" WINEDEBUG=-all \
        $wine "$work/app/$name/dbupdate.exe" update.log 2>"$work/wine.err") || wstatus=$?
    WINEPREFIX="$work/wineprefix" /usr/lib/wine/wineserver -k 2>/dev/null
    snapshot "$work/linux/$sub" "$work/linux/$sub" > "$work/linux.txt"
    snapshot "$work/windows/$sub" "$(winpath "$work/windows/$sub")" > "$work/windows.txt"
    echo "Sample upgrade: exit codes Linux $lstatus, Windows $wstatus;" \
        "$(grep -c '^== ' "$work/linux.txt") files compared," \
        "$(grep -c . "$work/windows/$sub/update.log") log lines"
    if [ "$lstatus" -ne "$wstatus" ] || ! diff -u "$work/linux.txt" "$work/windows.txt" | head -n 60; then
        echo "Sample upgrade differs from the Linux run"
        return 1
    fi
    cmp -s "$work/linux.txt" "$work/windows.txt" || { echo "Sample upgrade differs from the Linux run"; return 1; }
    echo "Sample upgrade: same schema, rows, backups and log as the Linux run"
}

# The whole stage: each part timed; the test counts close the output.
all() {
    local status=0 part start
    rm -f build-win64/ctest.log build-win64/counts
    for part in deps build run_tests zips sample; do
        start=$SECONDS
        echo "== $part"
        "$part" || { status=1; echo "== $part FAILED"; }
        echo "== $part: $((SECONDS - start)) s"
        # Nothing runs without the builds.
        if [ $status -ne 0 ] && { [ "$part" = deps ] || [ "$part" = build ]; }; then
            break
        fi
    done
    return $status
}

case "${1:-all}" in
deps | build | zips | sample | all) "${1:-all}" ;;
test) run_tests ;;
zip) zips ;;
*) echo "usage: windows.sh [deps|build|test|zip|sample]" >&2; exit 2 ;;
esac
