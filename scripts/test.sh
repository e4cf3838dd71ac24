#!/usr/bin/env bash
# Builds Fonwerk with its tests into build/ and runs them all, then runs the
# whole suite again under AddressSanitizer and UBSan (build-asan/). The test
# PostgreSQL server is started and stopped by the ctest fixtures.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/lib/deps.sh

fonwerk_ensure_packages
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DFONWERK_BUILD_TESTS=ON
cmake --build build -j2
ctest --test-dir build --output-on-failure -j2
# The same suite again, built with AddressSanitizer and UBSan.
exec scripts/test-sanitize.sh
