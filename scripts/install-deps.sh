#!/usr/bin/env bash
# Installs what building and testing KYFirmwareUpdate needs on Debian 12
# (or Ubuntu). Elsewhere it installs nothing: it says what to install
# instead (Fedora's names) and fails.
set -euo pipefail
os_id="" os_like=""
if [ -r /etc/os-release ]; then
    # shellcheck disable=SC1091
    read -r os_id os_like < <(. /etc/os-release && echo "${ID:-unknown} ${ID_LIKE:-}")
fi
case " $os_id $os_like " in
    *" debian "* | *" ubuntu "*) ;;
    *)
        cat >&2 <<EOF_OTHER
install-deps.sh installs packages with apt on Debian or Ubuntu only; this
machine is "${os_id:-unknown}". On Fedora, install instead:

  sudo dnf install gcc-c++ cmake ninja-build pkgconf-pkg-config \\
      gtest-devel gmock-devel cli11-devel json-devel clang compiler-rt \\
      libasan libubsan libtsan qt6-qtbase-devel qt6-qtbase-gui qt6-qttools-devel \\
      qt6-qttranslations \\
      systemd-devel dbus-daemon binutils umockdev umockdev-devel util-linux \\
      rpm-build rpmlint desktop-file-utils appstream zsh fish groff-base \\
      python3-jsonschema gettext

That builds the programs, runs the tests (ctest) and builds the RPM
(cpack -G RPM). scripts/run-tests.sh also builds and checks the Debian
package, which needs dpkg-dev and lintian, from Debian.
EOF_OTHER
        exit 1
        ;;
esac
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
packages=(
    build-essential cmake ninja-build pkg-config
    libgtest-dev libgmock-dev
    libcli11-dev nlohmann-json3-dev
    clang libclang-rt-14-dev
    qt6-base-dev qt6-tools-dev libqt6uitools6 qt6-qpa-plugins qt6-translations-l10n
    libsystemd-dev dbus-daemon dpkg-dev binutils
    umockdev libumockdev-dev util-linux
    lintian desktop-file-utils appstream
    rpm rpmlint cpio
    zsh fish groff-base python3-jsonschema gettext
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
