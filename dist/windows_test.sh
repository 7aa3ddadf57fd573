#!/usr/bin/env bash
# windows_test.sh BUILD_DIR [--no-qt] -- the Windows programs of BUILD_DIR used under wine as a
# person on Windows uses them:
# - lvconvert-cli.exe converts a catalogue in a folder and a file with non-ASCII names, and one
#   whose path is longer than 260 characters; each result passes lvdb check and holds what the
#   Linux programs make of the same catalogue (lvdb dump equal);
# - with the window: the installer installs silently (/S) into Program Files; the installed
#   lvconvert-cli.exe converts the installed demo catalogue; the installed lvconvert.exe opens
#   (a screenshot in BUILD_DIR/screenshots/); the uninstaller leaves nothing behind.
# The Linux programs come from build/ where it holds them, else they are built in
# build-windows-host/ (the engine and the command line alone).
set -euo pipefail
dir=$(realpath "$1")
qt=1
[ "${2:-}" = --no-qt ] && qt=
root=$(realpath "$(dirname "$0")/..")
wine_run=$root/scripts/wine-run
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "windows_test: $*" >&2
  exit 1
}
# Wine shows the whole Linux file system as drive Z:.
winpath() { local p=${1//\//\\}; echo "Z:$p"; }

host=$root/build
if [ ! -x "$host/bin/lvconvert-cli" ] || [ ! -x "$host/bin/lvdb" ] || [ ! -x "$host/bin/lvsample" ]; then
  host=$root/build-windows-host
  cmake -S "$root" -B "$host" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLV_WINDOWS=OFF \
    -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$host" --target lvconvert-cli lvdb lvsample template -- -j"$(nproc)" >/dev/null
fi
lvdb=$host/bin/lvdb

# The same catalogue through both builds; the Windows one in awkward places.
"$host/bin/lvsample" "$work/source.mdb" --games 500 --seed 7
"$host/bin/lvconvert-cli" "$work/source.mdb" "$work/linux.mdb" --genres auto >/dev/null
"$lvdb" dump "$work/linux.mdb" >"$work/linux.dump"
deep=$work/$(printf 'Ordner %02d/' $(seq 1 25))
[ ${#deep} -gt 260 ] || fail "the deep folder is only ${#deep} characters long"
for folder in "$work/Kataloge Müller ★" "$deep"; do
  mkdir -p "$folder"
  cp "$work/source.mdb" "$folder/Spiele ä.mdb"
  out=$("$wine_run" "$dir/bin/lvconvert-cli.exe" "$(winpath "$folder/Spiele ä.mdb")" \
        "$(winpath "$folder/Neu ö.mdb")" --genres auto 2>&1) ||
    fail "lvconvert-cli.exe failed in '$folder':"$'\n'"$out"
  [ -f "$folder/Neu ö.mdb" ] || fail "no result in '$folder'"
  cmp -s "$work/source.mdb" "$folder/Spiele ä.mdb" || fail "the source in '$folder' changed"
  "$lvdb" check "$folder/Neu ö.mdb" >/dev/null || fail "the result in '$folder' is not sound"
  "$lvdb" dump "$folder/Neu ö.mdb" | cmp -s - "$work/linux.dump" ||
    fail "the result in '$folder' differs from the Linux build's"
  "$wine_run" "$dir/bin/lvdb.exe" check "$(winpath "$folder/Neu ö.mdb")" >/dev/null ||
    fail "lvdb.exe check fails on the result in '$folder'"
done
echo "windows_test: lvconvert-cli.exe converts in non-ASCII and long paths as the Linux build does"
[ -n "$qt" ] || exit 0

# The installer in a wine prefix of its own, so that what it leaves behind is all there is.
installer=$(ls "$dir"/lvconvert-*-win64.exe)
export WINEPREFIX=$work/prefix
"$wine_run" "$installer" /S || fail "the installer failed"
/usr/lib/wine/wineserver64 -w
installed="$WINEPREFIX/drive_c/Program Files/Ludovane Database Converter"
for f in lvconvert.exe lvconvert-cli.exe lvdb.exe lvsample.exe v13bconvert.lvd INSTRUCTIONS.TXT \
         sample-catalogue.mdb Qt6Widgets.dll platforms/qwindows.dll libstdc++-6.dll Uninstall.exe; do
  [ -f "$installed/$f" ] || fail "the installation lacks $f"
done
menu=$(find "$WINEPREFIX/drive_c" -path '*Start Menu*' -name 'Ludovane Database Converter*.lnk' | head -n 1)
[ -n "$menu" ] || fail "no Start-menu entry for the window"
# The entry's target, kept in the shortcut as a plain Windows path, must be the installed window.
target=$(strings "$menu" | grep -i -m1 '^[A-Z]:\\.*\\lvconvert\.exe$' || true)
target_file="$WINEPREFIX/dosdevices/$(printf '%s' "${target:0:2}" | tr '[:upper:]' '[:lower:]')${target:2}"
[ -n "$target" ] && [ -f "${target_file//\\//}" ] ||
  fail "the Start-menu entry names ${target:-nothing}, which is not the installed window"
# The installed programs need nothing from the build machine's MinGW or Qt.
out=$(LV_WINE_BARE=1 "$wine_run" "$(winpath "$installed/lvconvert-cli.exe")" \
      "$(winpath "$installed/sample-catalogue.mdb")" "$(winpath "$work/demo.mdb")" --genres auto 2>&1) ||
  fail "the installed lvconvert-cli.exe did not convert the demo catalogue:"$'\n'"$out"
"$lvdb" check "$work/demo.mdb" >/dev/null || fail "the converted demo catalogue is not sound"

# The installed window on a virtual display, as a person starts it: with the platform Windows
# gives (the offscreen one the tests use is not installed), photographed once its caption is
# on the display. A window that never opens (Qt's "failed to start" box instead) fails.
mkdir -p "$dir/screenshots"
shot=$dir/screenshots/lvconvert-installed.png
rm -f "$shot"
LV_WINE_BARE=1 env -u QT_QPA_PLATFORM xvfb-run -a -s '-screen 0 1024x768x24' bash -c '
  "$1" "$2" & program=$!
  for _ in $(seq 1 60); do
    sleep 1
    if xwininfo -root -tree | grep -q "\"Database Converter Utility\""; then
      sleep 1
      xwd -root -silent | convert xwd:- "$3"
      break
    fi
  done
  kill $program 2>/dev/null; wait $program 2>/dev/null || true' _ \
  "$wine_run" "$(winpath "$installed/lvconvert.exe")" "$shot" || true
/usr/lib/wine/wineserver64 -k || true
[ -s "$shot" ] || fail "the installed window did not open within a minute"
echo "windows_test: the installed window: $shot"

"$wine_run" "$(winpath "$installed/Uninstall.exe")" /S || fail "the uninstaller failed"
/usr/lib/wine/wineserver64 -w
[ ! -e "$installed" ] || fail "the uninstaller left: $(cd "$installed" && find . | head)"
[ -z "$(find "$WINEPREFIX/drive_c" -path '*Start Menu*' -name 'Ludovane*')" ] ||
  fail "the uninstaller left the Start-menu entry"
! grep -q 'Ludovane Database Converter' "$WINEPREFIX/system.reg" ||
  fail "the uninstaller left its registry keys"
echo "windows_test: installed, used and uninstalled without a trace"
