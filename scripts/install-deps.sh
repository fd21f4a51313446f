#!/usr/bin/env bash
# Installs every Debian 12 package that building, running and testing Korvo needs.
# Safe to run again: apt-get skips what is already installed.
set -euo pipefail

packages=(
  # toolchain
  build-essential cmake ninja-build pkg-config clang-format git
  # Qt and coroutines
  qt6-base-dev qt6-websockets-dev libqt6sql6-sqlite qcoro-qt6-dev
  # the shell that sessions run, and the UTF-8 locale it is started with
  zsh locales
  # WebRTC and screen capture on GStreamer
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev libgstreamer-plugins-bad1.0-dev
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad
  gstreamer1.0-plugins-ugly gstreamer1.0-nice gstreamer1.0-x gstreamer1.0-tools
  # the phone simulator: an independent WebRTC stack (run with /usr/bin/python3)
  python3-aiortc python3-av iproute2
  # X11: input injection, and the virtual display the tests run on
  libx11-dev libxtst-dev libxrandr-dev xvfb x11-xserver-utils
  # benchmarks
  libbenchmark-dev
)

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  echo "install-deps: all ${#packages[@]} packages present"
else
  echo "install-deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -q
  $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# Shells run with LANG=en_US.UTF-8; without that locale zsh falls back to ASCII and mangles
# non-ASCII input.
if ! locale -a 2>/dev/null | grep -qi '^en_US\.utf-\?8$'; then
  echo "install-deps: generating the en_US.UTF-8 locale"
  $sudo sed -i 's/^# *\(en_US.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^en_US.UTF-8 UTF-8' /etc/locale.gen || echo 'en_US.UTF-8 UTF-8' | $sudo tee -a /etc/locale.gen >/dev/null
  $sudo locale-gen
fi
