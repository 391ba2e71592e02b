#!/usr/bin/env bash
# Installs the Debian packages the updater, its virtual devices and its tests need.
# apt is left alone when everything is already present, so repeated runs are quick.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config ccache clang libclang-rt-14-dev
    libusb-1.0-0-dev libhidapi-dev libcurl4-openssl-dev zlib1g-dev
    libzmq3-dev libczmq-dev libudev-dev
    libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev
    iproute2 umockdev libumockdev-dev lpc21isp nlohmann-json3-dev libssl-dev
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

echo "setup: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
