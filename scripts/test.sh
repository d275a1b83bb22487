#!/usr/bin/env bash
# Installs what is missing, builds Vorn twice (plain, and with AddressSanitizer +
# UndefinedBehaviorSanitizer) and runs the whole test suite against both builds, inside a private
# D-Bus session with an unlocked gnome-keyring as the Secret Service, then the checks of what gets
# installed and a smoke run of the window.
#
# The last line is the verdict, "N passed, N failed": every ctest test of both builds counts, and so
# does every other step. The exit status is non-zero when anything failed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

# Nothing can run without the packages: a failed install is the one failure of the verdict.
if ! bash scripts/install-deps.sh; then
  echo "FAILED: install-deps.sh"
  echo "0 passed, 1 failed"
  exit 1
fi

jobs=$(nproc)

passed=0
failed=0
failures=()

# step NAME COMMAND [ARGS...]: runs one counted step of the verdict line. A step that needs more
# than one command runs a function or `bash -c '...'`.
step() {
  local name=$1
  shift
  echo "== $name"
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    failures+=("$name")
    echo "FAILED: $name"
  fi
}

# Tests get their own HOME, runtime and cache folders; nothing touches the real user's state.
scratch=$(mktemp -d /tmp/vorn-test.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/home" "$scratch/runtime"
chmod 700 "$scratch/runtime"

step "format check" bash -c "git ls-files -- '*.cpp' '*.h' | xargs clang-format --dry-run --Werror"

# Ninja, as scripts/run.sh (which shares the plain build): a folder configured for another
# generator is configured anew.
configure_and_build() { # DIR CMAKE-ARGS...
  local dir=$1
  shift
  grep -qs '^CMAKE_GENERATOR:INTERNAL=Ninja$' "$dir/CMakeCache.txt" || rm -rf "$dir"
  cmake -S . -B "$dir" -G Ninja "$@" -DCMAKE_CXX_COMPILER_LAUNCHER=ccache >/dev/null &&
    cmake --build "$dir" -j"$jobs"
}
step "build (plain)" configure_and_build build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_TEST_HOOKS=ON
step "build (sanitizers)" configure_and_build build-asan -DCMAKE_BUILD_TYPE=Debug -DVORN_SANITIZE=ON
# The views against the QML module as built (its types and Qt's); warnings count as failures.
step "qmllint" /usr/lib/qt6/bin/qmllint -I build/src/ui src/ui/VornView.qml src/ui/AppPickerView.qml

# The environment of every test from here on.
export HOME="$scratch/home" XDG_RUNTIME_DIR="$scratch/runtime" XDG_CACHE_HOME="$scratch/home/.cache"
export XDG_CONFIG_HOME="$scratch/home/.config" XDG_DATA_HOME="$scratch/home/.local/share"
export XDG_STATE_HOME="$scratch/home/.local/state"
unset DISPLAY WAYLAND_DISPLAY
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# Each ctest test counts in the verdict. The counts come from ctest's closing summary ("..., N tests
# failed out of M"); a run without that line (nothing built, ctest itself failing) counts as one
# failure.
run_ctest() { # DIR
  local dir=$1 log="$scratch/ctest-$(basename "$1").log"
  echo "== tests ($dir)"
  dbus-run-session -- bash -c '
    set -e
    printf vorn-test-password | gnome-keyring-daemon --unlock --components=secrets >/dev/null
    ctest --test-dir "$1" --output-on-failure -j2
  ' _ "$root/$dir" 2>&1 | tee "$log" || true
  local summary
  summary=$(grep -Eo '[0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1 || true)
  if [ -z "$summary" ]; then
    failed=$((failed + 1))
    failures+=("tests ($dir)")
    return
  fi
  local bad total
  read -r bad _ _ _ _ total <<<"$summary"
  passed=$((passed + total - bad))
  failed=$((failed + bad))
  [ "$bad" -eq 0 ] || failures+=("$bad of $total tests ($dir)")
}
run_ctest build
run_ctest build-asan

# ---- what gets installed ------------------------------------------------------------------------
# The install rules put everything under a prefix; the desktop entries and the AppStream metadata
# as installed (with the real program paths) pass their validators.
staged="$scratch/install"
step "install (cmake --install)" cmake --install build --prefix "$staged"
step "desktop-file-validate" bash -c '
  shopt -s nullglob
  entries=("$1"/share/applications/*.desktop "$1"/etc/xdg/autostart/*.desktop)
  [ ${#entries[@]} -ge 2 ] && desktop-file-validate "${entries[@]}"
' _ "$staged"
step "appstreamcli validate" bash -c '
  appstreamcli validate --no-net --pedantic "$1"/share/metainfo/com.zumbra.vorn.mac.metainfo.xml
' _ "$staged"

# The Debian package of the plain build: its files and the run-time modules it depends on.
debian_package() {
  rm -f build/vorn_*.deb
  (cd build && cpack -G DEB >/dev/null) || return 1
  local deb
  deb=$(ls build/vorn_*.deb) || return 1
  local contents
  contents=$(dpkg-deb -c "$deb") || return 1
  for file in usr/bin/vorn usr/bin/vorn-phone usr/bin/vorn-sync usr/sbin/vorn-guard \
    usr/share/applications/com.zumbra.vorn.mac.desktop etc/xdg/autostart/com.zumbra.vorn.mac.desktop \
    usr/lib/systemd/user/vorn.service usr/lib/systemd/user/vorn-sync.service \
    usr/lib/systemd/system/vorn-guard.service; do
    grep -q " \./$file\$" <<<"$contents" || { echo "$deb lacks /$file"; return 1; }
  done
  grep -q ' \./usr/share/vorn/phone/' <<<"$contents" &&
    dpkg-deb -f "$deb" Depends | grep -q 'qml6-module-qtquick-controls' &&
    dpkg-deb -f "$deb" Depends | grep -q 'libqt6quick6' &&
    echo "$deb: $(du -k "$deb" | cut -f1) KiB"
}
step "debian package (cpack -G DEB)" debian_package

# ---- smoke run of the vorn window under a real X server (xvfb) --------------------------------
# vorn starts with its own runtime folder, shows its first frame, and quits with status 0 on
# SIGTERM.
smoke_run() {
  local smoke_runtime="$scratch/smoke-runtime"
  mkdir -p "$smoke_runtime" && chmod 700 "$smoke_runtime"
  XDG_RUNTIME_DIR="$smoke_runtime" VORN_PRINT_STARTUP=1 env -u QT_QPA_PLATFORM \
    xvfb-run -a bash -c '
      "$1" 2>"$2" & pid=$!
      for _ in $(seq 150); do grep -q first-frame "$2" && break; sleep 0.1; done
      if ! grep -q first-frame "$2"; then kill -9 "$pid"; exit 1; fi
      kill -TERM "$pid"
      wait "$pid"
    ' _ "$root/build/vorn" "$scratch/smoke.log" && return 0
  echo "smoke run failed:"
  cat "$scratch/smoke.log"
  return 1
}
step "smoke run (vorn under xvfb-run)" smoke_run
# ---- end of the smoke run ---------------------------------------------------------------------

# ---- the phone page: its node tests (records, texts, publishing, Vorn's decoder on the page's
# bytes), then the page in headless chromium against a real Vorn, vorn-sync and a loopback broker --
step "phone page: assemble" cmake --build build --target phone-page
step "phone page: node tests" bash -c '
  cd web/phone && VORN_PHONE="$1/build/tools/vorn-phone" \
    node --test test/records.test.js test/texts.test.js test/session.test.js test/crosscheck.test.js test/phonekey.test.js test/timing.test.js
' _ "$root"
step "phone page: chromium end to end" env VORN_PAGE_E2E_REQUIRED=1 VORN_BUILD_DIR="$root/build" \
  VORN_SCREENSHOT_DIR="$root/screenshots" node --test web/phone/test/browser/page.e2e.test.js
# ---- end of the phone page ----------------------------------------------------------------------

# ---- fuzzing: every decoder that reads bytes from outside, each target for a bounded time
# (VORN_FUZZ_SECONDS, 20 s by default) from its seeds in tests/fuzz/corpus; a crashing input is
# kept in build-fuzz/runs/<target>/ ----------------------------------------------------------------
fuzz_build() {
  grep -qs '^CMAKE_GENERATOR:INTERNAL=Ninja$' build-fuzz/CMakeCache.txt || rm -rf build-fuzz
  cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_FUZZ=ON \
    -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_CXX_COMPILER_LAUNCHER=ccache >/dev/null &&
    cmake --build build-fuzz -j"$jobs" --target fuzzers
}
step "fuzz: build (clang, libFuzzer)" fuzz_build
fuzz_seconds=${VORN_FUZZ_SECONDS:-20}
for target in fuzz_syncedblockstate fuzz_registry fuzz_userdefaults fuzz_desktopentry \
    fuzz_keychainfile fuzz_requestline fuzz_incomingvalue; do
  step "fuzz: $target (${fuzz_seconds} s)" \
    bash scripts/fuzz.sh "$root/build-fuzz" "$target" "$fuzz_seconds" "$root/build-fuzz/runs"
done
# ---- end of fuzzing ---------------------------------------------------------------------------

if [ ${#failures[@]} -gt 0 ]; then
  echo "== failed:"
  printf '  %s\n' "${failures[@]}"
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
