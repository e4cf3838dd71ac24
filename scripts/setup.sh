#!/usr/bin/env bash
# Builds Fonwerk (Release) into build/, creates the demo installation ./demo
# (SQLite, with demo contacts) and rebuilds its phone lookup table once.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/lib/deps.sh

fonwerk_ensure_packages
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j2 --target fonwerk fonwerkctl fonwerk-mkinstall

demo="$(pwd)/demo"
build/tools/fonwerk-mkinstall --sqlite "$demo" --demo --force

status=0
build/batch/fonwerk "$demo" || status=$?
echo
echo "fonwerk finished with exit status $status (0 complete, 1 stopped, 2 with failures, 3 error)."
echo "Run log: $(pwd)/build/batch/Fonwerk.log"
echo "Demo installation: $demo (database $demo/SQL/korvana.db)"
exit "$status"
