#!/usr/bin/env bash
# Installs what is missing, builds Vorn twice (plain, and with AddressSanitizer +
# UndefinedBehaviorSanitizer) and runs the whole test suite against both builds, inside a private
# D-Bus session with an unlocked gnome-keyring as the Secret Service.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/install-deps.sh

jobs=$(nproc)
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

echo "== format check"
git ls-files -- '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

echo "== build"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >/dev/null
cmake --build build -j"$jobs"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DVORN_SANITIZE=ON "${launcher[@]}" >/dev/null
cmake --build build-asan -j"$jobs"

# Tests get their own HOME, runtime and cache folders; nothing touches the real user's state.
scratch=$(mktemp -d /tmp/vorn-test.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/home" "$scratch/runtime"
chmod 700 "$scratch/runtime"
export HOME="$scratch/home" XDG_RUNTIME_DIR="$scratch/runtime" XDG_CACHE_HOME="$scratch/home/.cache"
export XDG_CONFIG_HOME="$scratch/home/.config" XDG_DATA_HOME="$scratch/home/.local/share"
export XDG_STATE_HOME="$scratch/home/.local/state"
unset DISPLAY WAYLAND_DISPLAY
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

status=0
for dir in build build-asan; do
  echo "== tests ($dir)"
  dbus-run-session -- bash -c '
    set -e
    printf vorn-test-password | gnome-keyring-daemon --unlock --components=secrets >/dev/null
    ctest --test-dir "$1" --output-on-failure -j2
  ' _ "$root/$dir" || status=1
done

# ---- smoke run of the vorn window under a real X server (xvfb) --------------------------------
# vorn starts with its own runtime folder, shows its first frame, and quits with status 0 on
# SIGTERM.
echo "== smoke run: vorn under xvfb-run"
smoke_runtime="$scratch/smoke-runtime"
mkdir -p "$smoke_runtime" && chmod 700 "$smoke_runtime"
if ! XDG_RUNTIME_DIR="$smoke_runtime" VORN_PRINT_STARTUP=1 env -u QT_QPA_PLATFORM \
    xvfb-run -a bash -c '
      "$1" 2>"$2" & pid=$!
      for _ in $(seq 150); do grep -q first-frame "$2" && break; sleep 0.1; done
      if ! grep -q first-frame "$2"; then kill -9 "$pid"; exit 1; fi
      kill -TERM "$pid"
      wait "$pid"
    ' _ "$root/build/vorn" "$scratch/smoke.log"; then
  echo "smoke run failed:"
  cat "$scratch/smoke.log"
  status=1
fi
# ---- end of the smoke run ---------------------------------------------------------------------

# ---- the phone page: its node tests (records, texts, Vorn's decoder on the page's bytes), then
# the page in headless chromium against a real Vorn, vorn-sync and a loopback broker -------------
echo "== phone page: assemble"
cmake --build build --target phone-page || status=1
echo "== phone page: node tests"
(cd web/phone && VORN_PHONE="$root/build/tools/vorn-phone" \
   node --test test/records.test.js test/texts.test.js test/crosscheck.test.js) || status=1
echo "== phone page: chromium end to end"
VORN_PAGE_E2E_REQUIRED=1 VORN_BUILD_DIR="$root/build" VORN_SCREENSHOT_DIR="$root/screenshots" \
  node --test web/phone/test/browser/page.e2e.test.js || status=1
# ---- end of the phone page ----------------------------------------------------------------------

exit $status
