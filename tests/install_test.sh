#!/usr/bin/env bash
# Installs the build into a scratch DESTDIR (or, given a .deb, unpacks the
# package into a scratch root), checks the tree, and runs the installed kyfw
# from there on the simulated Ky.
set -euo pipefail
build="$1"
deb="${2:-}"
dest="$(mktemp -d)"
trap 'rm -rf "$dest"' EXIT
if [ -n "$deb" ]; then
    dpkg-deb -x "$deb" "$dest"
else
    DESTDIR="$dest" cmake --install "$build" --prefix /usr >/dev/null
fi
for f in usr/bin/kyfw usr/bin/ky-firmware-update \
         usr/share/kyfirmwareupdate/main.ui \
         usr/share/applications/ky-firmware-update.desktop \
         usr/share/icons/hicolor/scalable/apps/ky-firmware-update.svg \
         usr/share/metainfo/io.github.kyfirmwareupdate.metainfo.xml \
         usr/share/man/man1/kyfw.1.gz usr/share/man/man1/ky-firmware-update.1.gz \
         usr/share/doc/ky-firmware-update/copyright \
         usr/share/doc/ky-firmware-update/changelog.gz \
         usr/lib/udev/rules.d/70-ky-firmware-update.rules; do
    [ -e "$dest/$f" ] || { echo "missing from the install tree: $f"; exit 1; }
done
grep -q 'ATTR{units}=="\*0x000a27:0x000011\*", TAG+="uaccess"' \
    "$dest/usr/lib/udev/rules.d/70-ky-firmware-update.rules"
out="$(KYFW_SIM_STATE="$dest/sim" "$dest/usr/bin/kyfw" --simulate list)"
echo "$out" | grep -q "firmware version: 1-5" || { echo "installed kyfw: $out"; exit 1; }
echo "${deb:-install tree} complete; its kyfw works"
