#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the tools need. Safe to run again.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
PKGS=(
  build-essential cmake pkg-config git clang libclang-rt-14-dev
  libgtest-dev libgmock-dev
  libavcodec-dev libavutil-dev libswscale-dev libxvidcore-dev
  libasound2-dev alsa-utils
  libx11-dev libxext-dev libxrender-dev libxft-dev libfontconfig-dev fonts-liberation
  xvfb x11-utils
  ffmpeg
  python3 python3-gi python3-gst-1.0 gir1.2-gst-rtsp-server-1.0
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad
  gstreamer1.0-plugins-ugly gstreamer1.0-libav gstreamer1.0-tools
)
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
