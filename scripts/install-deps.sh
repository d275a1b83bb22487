#!/usr/bin/env bash
# Installs the Debian 12 packages Vorn needs to build, run and test. Safe to run again.
set -euo pipefail

packages=(
  build-essential cmake pkg-config clang-format
  qt6-base-dev qt6-declarative-dev qt6-declarative-dev-tools qt6-svg-dev
  qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools
  qml6-module-qtquick qml6-module-qtquick-controls qml6-module-qtquick-templates
  qml6-module-qtquick-layouts qml6-module-qtquick-window qml6-module-qtqml-workerscript
  qml6-module-qttest qml6-module-qtquick-dialogs
  libqt6svg6 qt6-image-formats-plugins
  libsecret-1-dev libglib2.0-dev
  # vorn-sync: the MQTT 5 client, TLS, the terminal QR code, and the broker it can run
  libmosquitto-dev libssl-dev libqrencode-dev mosquitto mosquitto-clients qrencode openssl
  fonts-dejavu-core
  # test-only: a real Secret Service, a private bus, an X server for the smoke run
  gnome-keyring dbus dbus-bin libsecret-tools xvfb xauth
  # test-only: the phone page's browser test in Debian's browser
  chromium
)
# The phone page is assembled with Node and its packages come from npm: Debian's own nodejs and
# npm, unless a node and npm are already there.
command -v node >/dev/null || packages+=(nodejs)
command -v npm >/dev/null || packages+=(npm)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update
  $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi

# The phone page's packages, exactly as locked (again only when the lock file changed). No
# install scripts run: nothing may download a browser.
phone="$(dirname "$0")/../web/phone"
if ! cmp -s "$phone/package-lock.json" "$phone/node_modules/.installed-lock.json"; then
  (cd "$phone" && npm ci --ignore-scripts --no-audit --no-fund)
  cp "$phone/package-lock.json" "$phone/node_modules/.installed-lock.json"
fi
