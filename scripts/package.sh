#!/usr/bin/env bash
# Builds the Debian package fonwerk_<version>_<arch>.deb with CPack's DEB
# generator (shared-library dependencies computed by dpkg-shlibdeps) from a
# Release build of the programs, and lists its control data and contents.
#   scripts/package.sh [--build DIR] [--out DIR]
# Defaults: build folder build-package/, package into the current folder.
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
# The programs only: no tests, benchmarks or fuzz targets in this build.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DFONWERK_BUILD_TESTS=OFF \
  -DFONWERK_BUILD_BENCH=OFF -DFONWERK_FUZZ=OFF -DFONWERK_SANITIZE=OFF
cmake --build "$build" -j2
mkdir -p "$out"
(cd "$build" && cpack -G DEB -B "$out/_cpack" >/dev/null)
shopt -s nullglob
packages=("$out"/_cpack/fonwerk_*.deb)
if ((${#packages[@]} != 1)); then
  echo "error: cpack made ${#packages[@]} packages in $out/_cpack" >&2
  exit 1
fi
deb=$out/$(basename "${packages[0]}")
mv -f "${packages[0]}" "$deb"
rm -rf "$out/_cpack"
echo "== $deb"
dpkg-deb -I "$deb"
dpkg-deb -c "$deb"
