#!/usr/bin/env bash
# The Debian packages as a site gets them: builds them from build/ with CPack,
# installs them with apt-get, runs the installed dbupdate from /usr/bin, and
# builds and runs tests/consumer against the installed development package.
# Needs root and the build of scripts/setup.sh. Packages that were not
# installed before are removed again at the end; WS_KEEP_PACKAGES=1 keeps them.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

[ -f build/CMakeCache.txt ] || bash scripts/setup.sh
cmake --build build -j"$(nproc)"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' build/CMakeCache.txt)
rm -rf build/packages
(cd build && cpack -B "$root/build/packages")

installed=()
cleanup() {
    if [ ${#installed[@]} -gt 0 ] && [ "${WS_KEEP_PACKAGES:-0}" != 1 ]; then
        echo "== Removing ${installed[*]}"
        apt-get purge -y -qq "${installed[@]}" >/dev/null
    fi
}
trap cleanup EXIT
for p in workstation-core workstation-core-dev; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || installed+=("$p")
done

echo "== Installing the packages of $version"
export DEBIAN_FRONTEND=noninteractive
(cd build/packages && apt-get install -y -qq --no-install-recommends \
    "./workstation-core_${version}_$(dpkg --print-architecture).deb" \
    "./workstation-core-dev_${version}_$(dpkg --print-architecture).deb")

echo "== /usr/bin/dbupdate --version"
out=$(/usr/bin/dbupdate --version)
echo "$out"
[ "$out" = "dbupdate $version" ] || { echo "expected 'dbupdate $version'" >&2; exit 1; }

echo "== The consumer against /usr"
# The same check the 'packaging' test makes of a scratch prefix.
cmake -DSETTINGS=build/tests/packaging_settings.cmake -DPREFIX=/usr \
      -DWORK_DIR="$root/build/package-check" -P tests/consumer/run.cmake
echo "== Packages OK"
