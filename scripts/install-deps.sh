#!/usr/bin/env bash
# Installs what building and testing KYFirmwareUpdate needs on Debian 12.
set -euo pipefail
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
packages=(
    build-essential cmake ninja-build pkg-config
    libgtest-dev libgmock-dev
    libcli11-dev nlohmann-json3-dev
    clang libclang-rt-14-dev
    qt6-base-dev qt6-tools-dev libqt6uitools6 qt6-qpa-plugins
    libsystemd-dev dbus-daemon dpkg-dev binutils
    umockdev libumockdev-dev util-linux
    lintian desktop-file-utils appstream
    zsh fish groff-base
)
missing=()
for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
    echo "installing: ${missing[*]}"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
