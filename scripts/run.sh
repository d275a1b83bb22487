#!/usr/bin/env bash
# Installs what is missing, builds Vorn and runs it. Arguments are passed on to vorn.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
exec ./build/vorn "$@"
