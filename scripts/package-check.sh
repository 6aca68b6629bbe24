#!/usr/bin/env bash
# The Debian packages as a site gets them: builds them from build/ with CPack,
# installs them with apt-get, runs the installed dbupdate from /usr/bin, and
# builds and runs tests/consumer against the installed development package.
# Then checks what a front end's package needs: dpkg-shlibdeps finds the
# dependency on workstation-core for the consumer, and the debug package
# holds the installed library's debug file. Needs root and the build of
# scripts/setup.sh. Packages that were not
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

echo "== dpkg-shlibdeps on the consumer"
# A front end's own package gets its dependency on Core from the shlibs file.
deps="$root/build/package-check/shlibdeps"
rm -rf "$deps" && mkdir -p "$deps/debian/consumer/usr/bin" "$deps/debian/consumer/DEBIAN"
printf 'Source: consumer\n\nPackage: consumer\nArchitecture: any\n' > "$deps/debian/control"
cp "$root/build/package-check/build/consumer" "$deps/debian/consumer/usr/bin/"
out=$(cd "$deps" && dpkg-shlibdeps -O debian/consumer/usr/bin/consumer)
echo "$out"
grep -q "workstation-core (>= $version)" <<<"$out" \
    || { echo "dpkg-shlibdeps gave no dependency on workstation-core (>= $version)" >&2; exit 1; }

echo "== Debug information of the installed library"
# The debug package holds the file gdb looks up by the library's build id.
id=$(readelf -n "$(readlink -f /usr/lib/libCore.so.1)" | sed -n 's/.*Build ID: //p')
dbgsym="build/packages/workstation-core-dbgsym_${version}_$(dpkg --print-architecture).ddeb"
# Listed whole first: grep -q leaves at the first match, and the listing
# killed by the broken pipe would fail the pipeline.
listing=$(dpkg-deb -c "$dbgsym")
grep -q "usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug" <<<"$listing" \
    || { echo "$dbgsym has no debug file for build id $id" >&2; exit 1; }
echo "libCore.so.1: build id $id, debug file in $(basename "$dbgsym")"
echo "== Packages OK"
