#!/usr/bin/env bash
# Installs the build into a scratch DESTDIR (or, given a .deb or an .rpm,
# unpacks the package into a scratch root), checks the tree, and runs the
# installed kyfw from there on the simulated Ky: its --version, its
# completions as the shells find them, its man pages against its --help,
# and the window's --help without a display.
#   install_test.sh BUILD [PACKAGE.deb|PACKAGE.rpm]
set -euo pipefail
build="$1"
package="${2:-}"
dest="$(mktemp -d)"
trap 'rm -rf "$dest"' EXIT
# Where Debian (and a plain install) and Fedora keep the licence, the
# changelog and zsh's completions.
zsh_dir=usr/share/zsh/vendor-completions
own_files=(usr/share/doc/ky-firmware-update/copyright usr/share/doc/ky-firmware-update/changelog.gz)
case "$package" in
    "") DESTDIR="$dest" cmake --install "$build" --prefix /usr >/dev/null ;;
    *.deb) dpkg-deb -x "$package" "$dest" ;;
    *.rpm)
        rpm2cpio "$package" | (cd "$dest" && cpio -idm --quiet)
        zsh_dir=usr/share/zsh/site-functions
        own_files=(usr/share/licenses/ky-firmware-update/LICENSE)
        ;;
    *) echo "not a .deb or an .rpm: $package"; exit 2 ;;
esac
for f in usr/bin/kyfw usr/bin/ky-firmware-update \
         usr/share/kyfirmwareupdate/main.ui \
         usr/share/kyfirmwareupdate/schema/kyfw.schema.json \
         usr/share/applications/ky-firmware-update.desktop \
         usr/share/icons/hicolor/scalable/apps/ky-firmware-update.svg \
         usr/share/metainfo/io.github.kyfirmwareupdate.metainfo.xml \
         usr/share/man/man1/kyfw.1.gz usr/share/man/man1/ky-firmware-update.1.gz \
         usr/share/bash-completion/completions/kyfw \
         "$zsh_dir/_kyfw" \
         usr/share/fish/vendor_completions.d/kyfw.fish \
         "${own_files[@]}" \
         usr/lib/udev/rules.d/70-ky-firmware-update.rules; do
    [ -e "$dest/$f" ] || { echo "missing from the install tree: $f"; exit 1; }
done
# The tests' made-up process table is theirs alone: no installed program
# can be pointed at one.
if grep -q -a -e PROCFS "$dest/usr/bin/kyfw" "$dest/usr/bin/ky-firmware-update"; then
    echo "an installed program reads a made-up process table"; exit 1
fi
grep -q 'ATTR{units}=="\*0x000a27:0x000011\*", TAG+="uaccess"' \
    "$dest/usr/lib/udev/rules.d/70-ky-firmware-update.rules"
out="$(KYFW_SIM_STATE="$dest/sim" XDG_STATE_HOME="$dest/state" timeout 20 \
    "$dest/usr/bin/kyfw" --simulate list)"
echo "$out" | grep -q "firmware version: 1-5" || { echo "installed kyfw: $out"; exit 1; }
# It speaks the user's language from the catalogues installed with it.
out="$(KYFW_SIM_STATE="$dest/sim" XDG_STATE_HOME="$dest/state" LC_ALL=C.UTF-8 LANGUAGE=de \
    timeout 20 "$dest/usr/bin/kyfw" --simulate list)"
echo "$out" | grep -q "Status: *bereit$" || { echo "installed kyfw in German: $out"; exit 1; }
# So do the menu's entry and the software centres' description.
grep -q '^Comment\[ja\]=' "$dest/usr/share/applications/ky-firmware-update.desktop" &&
    grep -q '<summary xml:lang="de">' "$dest/usr/share/metainfo/io.github.kyfirmwareupdate.metainfo.xml" ||
    { echo "the installed desktop entry or metainfo is not translated"; exit 1; }
here="$(dirname "$0")"
# Its JSON is valid against the schema installed with it.
out="$(KYFW_SIM_STATE="$dest/sim" XDG_STATE_HOME="$dest/state" timeout 20 \
    "$dest/usr/bin/kyfw" --simulate list --json | tr -d "\n" | timeout 20 python3 "$here/validate_json.py" \
    "$dest/usr/share/kyfirmwareupdate/schema")"
[ "$out" = ok ] || { echo "installed kyfw list --json against the installed schema: $out"; exit 1; }
share="$dest/usr/share"
version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")"
out="$(timeout 20 "$dest/usr/bin/kyfw" --version)"
[ "$out" = "kyfw $version (built-in firmware 2-6)" ] || { echo "installed kyfw --version: $out"; exit 1; }
# Each check says what it found only when it fails.
quiet() { local log; log="$("$@" 2>&1)" || { echo "$log"; echo "failed: $*"; exit 1; }; }
quiet "$here/completion_test.sh" "$dest/usr/bin/kyfw" "$share/bash-completion/completions/kyfw" \
    "$share/fish/vendor_completions.d/kyfw.fish" "$dest/$zsh_dir/_kyfw"
quiet "$here/help_coverage_test.sh" "$dest/usr/bin/kyfw" "$dest/usr/bin/ky-firmware-update" \
    "$share/man/man1/kyfw.1.gz" "$share/man/man1/ky-firmware-update.1.gz" \
    "$share/bash-completion/completions/kyfw" "$dest/$zsh_dir/_kyfw" \
    "$share/fish/vendor_completions.d/kyfw.fish"
quiet "$here/window_help_test.sh" "$dest/usr/bin/ky-firmware-update" "$version"
echo "${package:-install tree} complete; its kyfw, completions, man pages and window's --help work"
