#!/usr/bin/env bash
# Installs what the project needs (only what is missing), then configures and
# builds it in build/: everything, or only the targets named with --target
# (the main job builds dbupdate alone). Other arguments go to the CMake
# configure step. The build's output goes to build/build.log and is shown
# only when the build fails.
set -euo pipefail
cd "$(dirname "$0")/.."

targets=()
configure=()
while [ $# -gt 0 ]; do
    case $1 in
        --target) targets+=("$2"); shift 2 ;;
        *) configure+=("$1"); shift ;;
    esac
done

mapfile -t packages < <(grep -v -E '^\s*(#|$)' scripts/packages.txt)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
mkdir -p build
if [ ${#missing[@]} -gt 0 ]; then
    echo "== Installing: ${missing[*]} (log: build/apt.log)"
    start=$SECONDS
    export DEBIAN_FRONTEND=noninteractive
    if ! { apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}"; } \
        >build/apt.log 2>&1; then
        tail -n 40 build/apt.log
        echo "== Installing FAILED (whole output in build/apt.log)"
        exit 1
    fi
    echo "== Installed in $((SECONDS - start)) s"
fi

build_args=()
for t in "${targets[@]}"; do build_args+=(--target "$t"); done
what=${targets[*]:-everything}
echo "== Building $what in build/ (log: build/build.log)"
start=$SECONDS
if ! { cmake -S . -B build -DWS_WERROR=ON "${configure[@]}" &&
       cmake --build build -j"$(nproc)" "${build_args[@]}"; } >build/build.log 2>&1; then
    tail -n 60 build/build.log
    echo "== Build FAILED (whole output in build/build.log)"
    exit 1
fi
echo "== Built $what in $((SECONDS - start)) s"
