#!/usr/bin/env bash
# The Windows builds, from the same sources as the Linux one:
#   windows.sh deps   install the cross compilers when missing, unpack the
#                     Wine that runs 32- and 64-bit programs, lay out
#                     build-win32/ and build-win64/ (Qt unpacked from the
#                     shared archives, the toolchain files, SQLite's source
#                     for the tests' own SQLite)
#   windows.sh build  configure and build both, tests included
#   windows.sh test [win32|win64]
#                     every test of both builds (or one) under Wine; prints per
#                     architecture the programs and the test functions passed,
#                     failed and skipped
#   windows.sh zip    per build the technician's dbupdate kit and the front
#                     end's runtime
#   windows.sh sample each build's dbupdate kit unpacked into a fresh Wine
#                     prefix, run on the sample legacy data directory; schema,
#                     rows (values included) and log compared with the Linux
#                     build's run (build/)
#   windows.sh        all of these in turn
# The archives are looked for in ../shared/win32-qt and ../shared/wine-wow64
# beside the repository (WS_WIN_QT names another folder for Qt's).
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
qtdir=${WS_WIN_QT:-$root/../shared/win32-qt}
# A linked work tree finds them beside its main repository.
if [ -z "${WS_WIN_QT:-}" ] && [ ! -d "$qtdir" ]; then
    common=$(git rev-parse --path-format=absolute --git-common-dir 2>/dev/null)
    [ -n "$common" ] && qtdir=$(dirname "$(dirname "$common")")/shared/win32-qt
fi
winetar=$(dirname "$qtdir")/wine-wow64/wine-wow64.tar.xz
winedir=$root/build-win-deps/wine-wow64
jobs=${WS_JOBS:-$(nproc)}
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

arch_of() { [ "$1" = win32 ] && echo i686 || echo x86_64; }

deps() {
    local missing=() p
    for p in g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix socat tcl sqlite3 \
             qttranslations5-l10n libfreetype6 libfontconfig1; do
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
    # The Wine that runs both builds' programs: 32-bit code inside a 64-bit
    # process, so it needs no 32-bit Linux libraries nor a kernel that runs
    # 32-bit processes.
    if [ ! -x "$winedir/bin/wine" ]; then
        echo "== Unpacking Wine (new WoW64)"
        [ -f "$winetar" ] || { echo "No Wine archive at $winetar" >&2; return 1; }
        mkdir -p "$(dirname "$winedir")"
        tar -xJf "$winetar" -C "$(dirname "$winedir")" || return 1
    fi

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
    local preset status=0
    for preset in win32 win64; do
        echo "== Building $preset"
        cmake --preset $preset "${launcher[@]}" >"build-$preset/configure.log" 2>&1 \
            || { cat "build-$preset/configure.log"; return 1; }
        cmake --build "build-$preset" -j"$jobs" >"build-$preset/build.log" 2>&1 \
            || { grep -E -B2 -A8 'error|Error' "build-$preset/build.log" | head -n 80; status=1; }
    done
    return $status
}

# Wine in its "new WoW64" form: one 64-bit process runs both builds' programs.
wine=$winedir/bin/wine
wineserver=$winedir/bin/wineserver
export WINEDEBUG=-all WINEDLLOVERRIDES='winemenubuilder.exe=d;mscoree=d'
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
    WINEPREFIX=$1 "$wineserver" -k 2>/dev/null
    true
}

# One build's tests under Wine, in a prefix of the build's own. Its counts
# go to build-<preset>/counts; the skip reasons to build-<preset>/skipped.txt.
run_tests_of() {
    local preset=$1 b=$root/build-$1 status=0 p f tp tf ts
    rm -rf "$b/test-reports" "$b/counts"
    serial_pair "$b" || return 1
    (cd "$b" && WS_SERIAL_PAIR=COM1,COM2 ctest --output-on-failure -j"$jobs" -LE '^fuzzing$') \
        >"$b/ctest.log" 2>&1 || status=1
    stop_wine "$b/wineprefix"
    # Failures in full; then QtTest's totals per program.
    [ $status -eq 0 ] || sed -n '/Failed\|FAIL!/,+20p' "$b/ctest.log" | head -n 200
    awk -v arch="$preset" '/Start testing of/ { name = $5 } /^Totals:/ { print "  " arch " " name ": " $0 }' \
        "$b"/test-reports/*.txt
    # What Wine cannot do, with the reasons, in a file.
    grep -h -E '^SKIP ' "$b"/test-reports/*.txt | sed 's/^SKIP *: *//' > "$b/skipped.txt"
    p=$(grep -cE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed' "$b/ctest.log")
    f=$(grep -cE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .*(Failed|Timeout|Exception|Not Run)' "$b/ctest.log")
    read -r tp tf ts < <(awk '/^Totals:/ { p += $2; f += $4; s += $6 } END { print p + 0, f + 0, s + 0 }' \
        "$b"/test-reports/*.txt)
    echo "windows $preset: $p programs passed, $f failed, ${#not_on_windows[@]} not built;" \
        "test functions $tp passed, $tf failed, $ts skipped (reasons in build-$preset/skipped.txt)" \
        | tee "$b/counts"
    return $status
}

run_tests() {
    local status=0 preset presets=("$@")
    [ $# -gt 0 ] || presets=(win32 win64)
    for preset in "${presets[@]}"; do
        run_tests_of $preset || status=1
    done
    echo "Not built for Windows (reasons in scripts/windows.sh):" \
        "$(printf '%s\n' "${not_on_windows[@]}" | sed 's/:.*//' | paste -sd ' ')"
    return $status
}

project_version() { sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$root/build-$1/CMakeCache.txt"; }

# Qt's catalogue that settings.ini names by default, and the catalogues it
# loads in turn; Debian's are the same files on every platform.
qt_catalogues=(qt_zh_CN qtbase_zh_CN qtscript_zh_CN qtmultimedia_zh_CN qtxmlpatterns_zh_CN)
qt_translations=/usr/share/qt5/translations

# Copies into the folder $1 every DLL that its programs and libraries import
# from Qt's folder $2 (which holds the MinGW runtime too), until none is
# missing.
add_imports() {
    local out=$1 qt=$2 objdump=$3 added=1 f dll
    while [ $added -eq 1 ]; do
        added=0
        for f in "$out"/*.exe "$out"/*.dll "$out"/*/*.dll; do
            [ -f "$f" ] || continue
            for dll in $("$objdump" -p "$f" | sed -n 's/^\s*DLL Name: //p'); do
                if [ -f "$qt/bin/$dll" ] && [ ! -f "$out/$dll" ]; then
                    cp "$qt/bin/$dll" "$out/"
                    added=1
                fi
            done
        done
    done
}

# Two zips per build, one folder each:
#   workstation-dbupdate-<version>-<preset>.zip, the technician's kit:
#     dbupdate.exe, tamcore.dll, QtCore, QtSql, the SQLite driver, the
#     MinGW runtime, the catalogues (dbupdate_en.qm, Qt's qt_zh_CN.qm)
#   workstation-core-<version>-<preset>.zip, the front end's runtime:
#     Core.dll with QtGui, QtWidgets, QtScript, the platform plugin, the
#     Vista style, the SQLite driver, Qt's catalogues; for developers
#     lib/libCore.dll.a and include/ (Core's public headers)
package() {
    local preset=$1 kind=$2 arch b=$root/build-$1 name qt out c
    arch=$(arch_of "$preset")
    qt=$b/qt5-$arch
    name=workstation-$kind-$(project_version "$preset")-$preset
    out=$b/zip/$name
    rm -rf "$out" "$b/$name.zip"
    mkdir -p "$out/sqldrivers"
    cp "$qt/plugins/sqldrivers/qsqlite.dll" "$out/sqldrivers/" || return 1
    for c in "${qt_catalogues[@]}"; do
        cp "$qt_translations/$c.qm" "$out/" || return 1
    done
    if [ "$kind" = dbupdate ]; then
        cp "$b/dbupdate/dbupdate.exe" "$b/tamcore/tamcore.dll" "$b/dbupdate/dbupdate_en.qm" "$out/" || return 1
    else
        mkdir -p "$out/platforms" "$out/styles" "$out/lib" "$out/include"
        cp "$b/core/Core.dll" "$out/" || return 1
        cp "$qt/plugins/platforms/qwindows.dll" "$out/platforms/" || return 1
        cp "$qt/plugins/styles/qwindowsvistastyle.dll" "$out/styles/" || return 1
        cp "$b/core/libCore.dll.a" "$out/lib/" || return 1
        for c in $(sed -n '/^set(CORE_PUBLIC_HEADERS/,/^)/s/^ *\([a-z_]*\.h\)$/\1/p' "$root/core/CMakeLists.txt"); do
            cp "$root/core/$c" "$out/include/" || return 1
        done
    fi
    add_imports "$out" "$qt" "$arch-w64-mingw32-objdump"
    # Debug information stays in the build; the runtime DLLs carry theirs too.
    "$arch-w64-mingw32-strip" --strip-unneeded "$out"/*.dll "$out"/*/*.dll
    [ "$kind" = dbupdate ] && "$arch-w64-mingw32-strip" --strip-unneeded "$out"/*.exe
    (cd "$b/zip" && cmake -E tar cf "../$name.zip" --format=zip "$name") || return 1
    printf '%s: %s bytes, %s files\n' "build-$preset/$name.zip" "$(stat -c %s "$b/$name.zip")" \
        "$(find "$out" -type f | wc -l)"
}

zips() {
    local preset kind
    for preset in win32 win64; do
        rm -rf "build-$preset/zip" build-"$preset"/workstation-*.zip
        for kind in dbupdate core; do
            package $preset $kind || return 1
        done
    done
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

# One build's dbupdate kit on the sample legacy data directory, beside the
# Linux program on a copy of it: the same exit code, every file's schema and
# rows (every refitted double included) and the same log.
sample_of() {
    local preset=$1 b=$root/build-$1 work=$root/build-$1/sample sub="样本 données" f name lstatus=0 wstatus=0
    name=workstation-dbupdate-$(project_version "$preset")-$preset
    rm -rf "$work"
    mkdir -p "$work/linux/$sub" "$work/windows/$sub" "$work/app"
    for f in profile data qc syslog; do
        sqlite3 "$work/linux/$sub/$f.db" < "samples/legacy/$f.sql" || return 1
        sqlite3 "$work/windows/$sub/$f.db" < "samples/legacy/$f.sql" || return 1
    done
    (cd "$work/linux/$sub" && "$root/build/dbupdate/dbupdate" update.log) || lstatus=$?
    unzip -q "$b/$name.zip" -d "$work/app" || return 1
    # A fresh prefix: nothing but what the zip brings.
    (cd "$work/windows/$sub" && WINEPREFIX="$work/wineprefix" \
        "$wine" "$work/app/$name/dbupdate.exe" update.log 2>"$work/wine.err") || wstatus=$?
    WINEPREFIX="$work/wineprefix" "$wineserver" -k 2>/dev/null
    snapshot "$work/linux/$sub" "$work/linux/$sub" > "$work/linux.txt"
    snapshot "$work/windows/$sub" "$(winpath "$work/windows/$sub")" > "$work/windows.txt"
    echo "Sample upgrade $preset: exit codes Linux $lstatus, Windows $wstatus;" \
        "$(grep -c '^== ' "$work/linux.txt") files compared," \
        "$(grep -c . "$work/windows/$sub/update.log") log lines"
    if [ "$lstatus" -ne "$wstatus" ] || ! cmp -s "$work/linux.txt" "$work/windows.txt"; then
        diff -u "$work/linux.txt" "$work/windows.txt" | head -n 60
        echo "Sample upgrade $preset differs from the Linux run"
        return 1
    fi
    echo "Sample upgrade $preset: same schema, rows, values, backups and log as the Linux run"
}

sample() {
    local status=0 preset
    if [ ! -x "$root/build/dbupdate/dbupdate" ]; then
        echo "== Building the Linux dbupdate for the comparison"
        (cmake -S . -B build -DWS_WERROR=ON "${launcher[@]}" >/dev/null \
            && cmake --build build -j"$jobs" --target dbupdate >/dev/null) || return 1
    fi
    for preset in win32 win64; do
        sample_of $preset || status=1
    done
    return $status
}

# The whole stage: each part timed; the test counts close the output.
all() {
    local status=0 part start
    rm -f build-win32/ctest.log build-win32/counts build-win64/ctest.log build-win64/counts
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
test) shift; run_tests "$@" ;;
zip) zips ;;
*) echo "usage: windows.sh [deps|build|test|zip|sample]" >&2; exit 2 ;;
esac
