#!/usr/bin/env bash
# Runs a program of a Windows build (build-win32/ or build-win64/) under the
# new-WoW64 Wine that scripts/windows.sh deps unpacks (one 64-bit process
# runs 32-bit code too): CTest's emulator for the tests. The Wine prefix is
# private to the build folder; the build's libraries and Qt's come through
# WINEPATH, Qt's plugins through a qt.conf beside the program. Wine does not
# pass QT_* variables on: the prefix's own environment (HKCU\Environment)
# gives every program the offscreen platform.
# QtTest programs write their report to a file (Wine loses it on a pipe):
# it is printed when the program ends and kept in test-reports/ of the
# build; the exit code is the program's.
set -uo pipefail
prog=$(readlink -f "$1")
shift
dir=$(dirname "$prog")
build=$dir
while [ "$build" != / ] && [ ! -f "$build/CMakeCache.txt" ]; do
    build=$(dirname "$build")
done
qt=$(ls -d "$build"/qt5-* 2>/dev/null | head -n 1)
winpath() { printf 'Z:%s' "${1//\//\\}"; }

export WINEDEBUG=-all WINEDLLOVERRIDES='winemenubuilder.exe=d;mscoree=d'
export WINEPREFIX=${WS_WINEPREFIX:-$build/wineprefix}
export WINEARCH=win64
paths="$(winpath "$qt/bin")"
for sub in core tamcore dbupdate; do
    paths="$paths;$(winpath "$build/$sub")"
done
export WINEPATH="$paths"
[ -f "$dir/qt.conf" ] || printf '[Paths]\nPrefix=%s\n' "$(winpath "$qt" | tr '\\' /)" > "$dir/qt.conf"

wine=${WS_WINE:-$(dirname "$build")/build-win-deps/wine-wow64/bin/wine}
mkdir -p "$WINEPREFIX"
(
    flock 9
    if [ ! -f "$WINEPREFIX/.offscreen" ]; then
        "$wine" reg add 'HKCU\Environment' /v QT_QPA_PLATFORM /d offscreen /f >/dev/null 2>&1 \
            && touch "$WINEPREFIX/.offscreen"
    fi
) 9>"$WINEPREFIX.lock"
case "$(basename "$prog")" in
tst_*)
    report=$(mktemp "${TMPDIR:-/tmp}/qtest.XXXXXX")
    "$wine" "$prog" "$@" -o "$report,txt"
    status=$?
    cat "$report"
    mkdir -p "$build/test-reports"
    mv "$report" "$build/test-reports/$(basename "$prog" .exe).txt"
    exit $status
    ;;
*)
    exec "$wine" "$prog" "$@"
    ;;
esac
