#!/usr/bin/env bash
# Installs what is missing, builds vorn and vorn-phone (only those, and only what changed) and runs
# vorn. Arguments are passed on to vorn (for example --background).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

# Configured once, with Ninja: a build with nothing changed then does nothing (with Makefiles, Qt
# 6.4 regenerates the QML type registrations every time). Later builds re-run CMake by themselves
# when a CMakeLists.txt changed. A folder configured for another generator is configured anew.
if ! grep -qs '^CMAKE_GENERATOR:INTERNAL=Ninja$' build/CMakeCache.txt; then
  rm -rf build
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER_LAUNCHER=ccache >/dev/null
fi
cmake --build build --target vorn vorn-phone | grep -v '^ninja: no work to do' || true
exec ./build/vorn "$@"
