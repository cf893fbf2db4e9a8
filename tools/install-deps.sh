#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing the helpers need,
# but only when one of them is missing, so a warm machine pays nothing.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev
  nlohmann-json3-dev libicu-dev libssl-dev libplist-dev uuid-dev libglib2.0-dev
  libgtk-3-dev libpulse-dev pulseaudio pulseaudio-utils pipewire pipewire-pulse wireplumber
  pipewire-bin dbus bubblewrap zip unzip xvfb xauth xdotool
  x11-utils imagemagick icewm clang libclang-rt-dev e2fsprogs procps python3
  dpkg-dev file binutils util-linux strace passwd libarchive-tools p7zip-full
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

echo "Installing: ${missing[*]}" >&2
if [ "$(id -u)" -ne 0 ]; then
  sudo=sudo
else
  sudo=
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update
$sudo apt-get install -y --no-install-recommends "${missing[@]}"
