#!/usr/bin/env bash
# Installs the build into a scratch DESTDIR and checks what lands there as a
# desktop would use it: the menu entry, the vault file type (also for a
# renamed vault), the icons, the manual pages and the installed programs.
# Usage: InstallCheck.sh BUILD_DIR TEST_DATA_DIR
set -euo pipefail
build=$1
data=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

dest=$scratch/root
DESTDIR=$dest cmake --install "$build" --prefix /usr >"$scratch/install.log"
share=$dest/usr/share

for f in usr/bin/glimmerbox usr/bin/glimmerbox-vault usr/libexec/glimmerbox/glimmerbox-metafile; do
  [ -x "$dest/$f" ] || fail "$f not installed"
done
for size in 16 22 24 32 48 64 128 256; do
  png=$share/icons/hicolor/${size}x${size}/apps/glimmerbox.png
  [ -f "$png" ] || fail "no ${size}px icon"
  head -c 24 "$png" | od -An -tx1 | tr -d ' \n' | grep -q "^89504e470d0a1a0a0000000d49484452$(printf %08x "$size")$(printf %08x "$size")" ||
    fail "${size}px icon is not a ${size}x${size} PNG"
done
[ -f "$share/icons/hicolor/scalable/apps/glimmerbox.svg" ] || fail "no scalable icon"
xmllint --noout "$share/icons/hicolor/scalable/apps/glimmerbox.svg"
for page in glimmerbox glimmerbox-vault; do
  gzip -t "$share/man/man1/$page.1.gz" || fail "man page $page"
  zcat "$share/man/man1/$page.1.gz" | grep -q "^.TH ${page^^} 1" || fail "man page $page has no title"
done

desktop-file-validate "$share/applications/glimmerbox.desktop"
grep -qx 'Exec=glimmerbox %f' "$share/applications/glimmerbox.desktop" || fail "Exec line"
grep -q '^Categories=.*Graphics;' "$share/applications/glimmerbox.desktop" || fail "Graphics category"
xmllint --noout "$share/mime/packages/glimmerbox.xml"
update-mime-database "$share/mime"

# A vault written by the installed tool (a metafile in it, so the tool finds
# its helper where it was installed).
vault=$scratch/photos.gmb
"$dest/usr/bin/glimmerbox-vault" add "$vault" "$data/jpeg/testorig.jpg" "$data/wmf/Eg.wmf" >/dev/null
"$dest/usr/bin/glimmerbox-vault" check "$vault" 2>/dev/null
cp "$vault" "$scratch/renamed.bin"
cp "$vault" "$scratch/noextension"
sqlite3 "$scratch/other.bin" 'CREATE TABLE t(x); PRAGMA application_id = 1;'  # another program's database

export XDG_DATA_DIRS=$share:${XDG_DATA_DIRS:-/usr/local/share:/usr/share}
export XDG_DATA_HOME=$scratch/data-home
unset DISPLAY WAYLAND_DISPLAY
expect_type() {
  local got
  got=$(xdg-mime query filetype "$1")
  [ "$got" = "$2" ] || fail "xdg-mime ($desktop) names $1 as '$got', not '$2'"
}
# xdg-mime asks GLib on GNOME and the shared-mime-info reader (mimetype)
# elsewhere; both must read the DESTDIR's database.
for desktop in GNOME generic; do
  if [ "$desktop" = GNOME ]; then export XDG_CURRENT_DESKTOP=GNOME; else unset XDG_CURRENT_DESKTOP; fi
  expect_type "$vault" application/x-glimmerbox-vault
  expect_type "$scratch/renamed.bin" application/x-glimmerbox-vault
  expect_type "$scratch/noextension" application/x-glimmerbox-vault
  got=$(xdg-mime query filetype "$scratch/other.bin")
  [ "$got" != application/x-glimmerbox-vault ] || fail "a file that is not a vault is named a vault ($desktop)"
done

# --help and --version answer without a display.
env -u QT_QPA_PLATFORM "$dest/usr/bin/glimmerbox" --version | grep -qx 'Glimmerbox 3.2' || fail "glimmerbox --version"
env -u QT_QPA_PLATFORM "$dest/usr/bin/glimmerbox" --help | grep -q 'vault.gmb' || fail "glimmerbox --help"
echo "install check passed"
