#!/usr/bin/env bash
# Installs every Debian package that building, testing and benchmarking need.
# Idempotent: packages already present are skipped, and apt is not touched at all
# when nothing is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang lld libclang-rt-14-dev
  qt6-base-dev qt6-base-dev-tools qt6-pdf-dev libqt6pdf6 libqt6svg6 qcoro-qt6-dev
  libssl-dev libsecret-1-dev libheif-dev libexif-dev libicu-dev libpng-dev libseccomp-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libsodium-dev libargon2-dev
  fuse3 libfuse3-dev e2fsprogs libsystemd-dev udisks2 polkitd udev dbus-daemon fio
  dbus dbus-x11 gnome-keyring python3-dbusmock python3-gi
  xvfb xauth gocryptfs util-linux xdg-utils
  qt6-svg-dev libxcb1-dev libxcb-keysyms1-dev x11proto-dev
  openbox trayer xdotool imagemagick libsecret-tools x11-utils fonts-dejavu-core
  fonts-noto-color-emoji libfontconfig-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
