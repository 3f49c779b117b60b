#!/usr/bin/env bash
# Installs the build into a scratch root and checks the desktop integration: the launcher entry with its
# file-taking action, the icon under the name the entry uses, and the D-Bus service pointing at the program.
#   check-install.sh BUILD_DIR PREFIX
set -euo pipefail
build=$1
prefix=$2
root=$(mktemp -d "${TMPDIR:-/tmp}/larkhold-install.XXXXXX")
trap 'rm -rf "$root"' EXIT

DESTDIR="$root" cmake --install "$build" >/dev/null
share="$root$prefix/share"
fail() { echo "install: $*" >&2; exit 1; }

desktop="$share/applications/org.larkhold.Larkhold.desktop"
[ -f "$desktop" ] || fail "no desktop file"
grep -qx 'Exec=larkhold %F' "$desktop" || fail "the launcher does not pass files"
grep -qx 'Icon=org.larkhold.Larkhold' "$desktop" || fail "the launcher names another icon"
grep -qx '\[Desktop Action add-to-vault\]' "$desktop" || fail "no Add to Larkhold Vault action"
grep -qx 'Name=Add to Larkhold Vault' "$desktop" || fail "the action has another name"

[ -s "$share/icons/hicolor/scalable/apps/org.larkhold.Larkhold.svg" ] || fail "no icon"

service="$share/dbus-1/services/org.larkhold.Larkhold.service"
[ -f "$service" ] || fail "no D-Bus service file"
grep -qx 'Name=org.larkhold.Larkhold' "$service" || fail "the service has another name"
grep -qx "Exec=$prefix/bin/larkhold" "$service" || fail "the service starts something else"
[ -x "$root$prefix/bin/larkhold" ] || fail "the service's program is not installed"
# PDFs are read only by a program of its own, installed with the modules.
find "$root$prefix" -path '*/larkhold/larkhold-pdf-render' -type f -perm -u+x | grep -q . ||
  fail "the PDF renderer is not installed with the modules"
find "$root$prefix" -path '*/larkhold/larkhold-photo-decode' -type f -perm -u+x | grep -q . ||
  fail "the photo decoder is not installed with the modules"
echo "install layout OK"
