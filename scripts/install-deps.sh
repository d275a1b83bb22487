#!/usr/bin/env bash
# Installs the Debian 12 packages that Vorn's scripts need to build, run, package and test it.
# Safe to run again: with nothing missing it asks apt nothing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git ca-certificates clang-format ccache
  qt6-base-dev qt6-declarative-dev qt6-declarative-dev-tools qt6-svg-dev
  qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools
  qml6-module-qtquick qml6-module-qtquick-controls qml6-module-qtquick-templates
  qml6-module-qtquick-layouts qml6-module-qtquick-window qml6-module-qtqml qml6-module-qtqml-workerscript
  qml6-module-qttest qml6-module-qtquick-dialogs
  libqt6svg6 qt6-image-formats-plugins
  libsecret-1-dev libglib2.0-dev
  # vorn-sync: the MQTT 5 client, TLS, the terminal QR code, and the broker it can run
  libpaho-mqtt-dev libssl-dev libqrencode-dev mosquitto mosquitto-clients qrencode openssl
  fonts-dejavu-core
  # the Debian package: cpack's DEB generator asks dpkg-shlibdeps (dpkg-dev) and file
  dpkg-dev file
  # test-only: a real Secret Service, a private bus, an X server for the smoke run, the validators
  # of the desktop entry and the AppStream metadata
  gnome-keyring dbus dbus-bin libsecret-tools xvfb xauth
  desktop-file-utils appstream
  # test-only: a wall clock moved under a running Vorn (libfaketime)
  faketime
  # test-only: the phone page's browser test in Debian's browser
  chromium
  # test-only: the libFuzzer targets of tests/fuzz (clang and its fuzzing runtime)
  clang-14 libclang-rt-14-dev
)
# The phone page is assembled with Node and its packages come from npm: Debian's own nodejs and
# npm, unless a node and npm are already there.
command -v node >/dev/null || packages+=(nodejs)
command -v npm >/dev/null || packages+=(npm)

# One dpkg-query for all (each call reads the whole status database); a package it does not know
# is missing too.
declare -A state=()
while read -r name status; do
  state[${name%%:*}]=$status
done < <(dpkg-query -W -f='${Package} ${db:Status-Status}\n' "${packages[@]}" 2>/dev/null || true)
missing=()
for p in "${packages[@]}"; do
  [ "${state[$p]:-}" = "installed" ] || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update
  $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi

# The phone page's packages, exactly as locked (again only when the lock file changed). No
# install scripts run: nothing may download a browser. esbuild needs none: its program comes as
# the optional package for this platform (@esbuild/linux-x64).
phone="$(dirname "$0")/../web/phone"
if ! cmp -s "$phone/package-lock.json" "$phone/node_modules/.installed-lock.json"; then
  (cd "$phone" && npm ci --ignore-scripts --no-audit --no-fund)
  cp "$phone/package-lock.json" "$phone/node_modules/.installed-lock.json"
fi
