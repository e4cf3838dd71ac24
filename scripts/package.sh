#!/usr/bin/env bash
# Builds the Debian package fonwerk_<version>_<arch>.deb with CPack's DEB
# generator (shared-library dependencies computed by dpkg-shlibdeps) and lists
# its control data and contents.
#   scripts/package.sh [--build DIR] [--out DIR]
# A build folder that is configured already (CI passes the test build) is
# reused: only the programs and man pages are built, and only the install
# rules go into the package. Otherwise DIR (default build-package/) is
# configured as a Release build of the programs alone. The package goes to
# --out (default: the current folder).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/lib/deps.sh

build=build-package
out=$PWD
while (($#)); do
  case $1 in
    --build) build=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    *) echo "usage: scripts/package.sh [--build DIR] [--out DIR]" >&2; exit 64 ;;
  esac
done

fonwerk_ensure_packages
if [[ ! -f $build/CMakeCache.txt ]]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DFONWERK_BUILD_TESTS=OFF \
    -DFONWERK_BUILD_BENCH=OFF -DFONWERK_FUZZ=OFF -DFONWERK_SANITIZE=OFF
fi
if grep -q '^FONWERK_SANITIZE:BOOL=ON' "$build/CMakeCache.txt"; then
  echo "error: $build is a sanitizer build; package a Release build" >&2
  exit 1
fi
cmake --build "$build" -j2 --target fonwerk fonwerkctl fonwerk-mkinstall man
mkdir -p "$out"
staging=$(mktemp -d "$out/.cpack.XXXXXX")
trap 'rm -rf "$staging"' EXIT
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$staging" >"$staging.log" 2>&1 || {
  cat "$staging.log" >&2
  rm -f "$staging.log"
  exit 1
}
rm -f "$staging.log"
shopt -s nullglob
packages=("$staging"/fonwerk_*.deb)
if ((${#packages[@]} != 1)); then
  echo "error: cpack made ${#packages[@]} packages" >&2
  exit 1
fi
deb=$out/$(basename "${packages[0]}")
mv -f "${packages[0]}" "$deb"
echo "== $deb"
dpkg-deb -I "$deb"
dpkg-deb -c "$deb"
