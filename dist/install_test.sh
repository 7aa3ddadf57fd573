#!/usr/bin/env bash
# install_test.sh CMAKE BUILD_DIR VERSION -- installs the build under a scratch root as the
# package does (prefix /usr below DESTDIR), then uses the installed tree as a person would.
set -euo pipefail
cmake_command=$1 build=$2 version=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "install_test: $*" >&2
  exit 1
}

DESTDIR="$work/root" "$cmake_command" --install "$build" --prefix /usr >/dev/null
usr=$work/root/usr
data=$usr/share/lvconvert

# Exactly these files, and nothing outside the prefix.
expected="usr/bin/lvconvert
usr/bin/lvconvert-cli
usr/bin/lvdb
usr/bin/lvsample
usr/share/applications/lvconvert.desktop
usr/share/icons/hicolor/16x16/apps/lvconvert.png
usr/share/icons/hicolor/256x256/apps/lvconvert.png
usr/share/icons/hicolor/32x32/apps/lvconvert.png
usr/share/icons/hicolor/48x48/apps/lvconvert.png
usr/share/icons/hicolor/scalable/apps/lvconvert.svg
usr/share/lvconvert/INSTRUCTIONS.TXT
usr/share/lvconvert/sample-catalogue.mdb
usr/share/lvconvert/v13bconvert.lvd
usr/share/man/man1/lvconvert-cli.1
usr/share/man/man1/lvconvert.1
usr/share/man/man1/lvdb.1
usr/share/man/man1/lvsample.1"
actual=$(cd "$work/root" && find . -type f -printf '%P\n' | LC_ALL=C sort)
[ "$actual" = "$(LC_ALL=C sort <<<"$expected")" ] ||
  fail "installed files differ from the layout:"$'\n'"$(diff <(LC_ALL=C sort <<<"$expected") - <<<"$actual")"
for program in lvconvert lvconvert-cli lvdb lvsample; do
  [ -x "$usr/bin/$program" ] || fail "bin/$program is not executable"
done
# A PNG's width is the big-endian word at byte 16 (in its IHDR chunk).
for size in 16 32 48 256; do
  width=$(od -An -tu4 --endian=big -j16 -N4 "$usr/share/icons/hicolor/${size}x$size/apps/lvconvert.png")
  [ "$width" -eq "$size" ] || fail "the ${size}x$size icon is $width pixels wide"
done

# The instructions are read on the old release's platform: CR LF line ends, under 80 columns.
grep -qv $'\r$' "$data/INSTRUCTIONS.TXT" && fail "INSTRUCTIONS.TXT has a line without CR LF"
awk 'length($0) > 80 { exit 1 }' "$data/INSTRUCTIONS.TXT" || fail "INSTRUCTIONS.TXT has a line of 80 columns or more"

out=$(desktop-file-validate "$usr/share/applications/lvconvert.desktop" 2>&1) &&
  [ -z "$out" ] || fail "desktop entry: $out"

# The installed converter on the installed demo catalogue, finding the template it starts from
# under ../share/lvconvert/.
"$usr/bin/lvconvert-cli" "$data/sample-catalogue.mdb" "$work/new.mdb" --genres auto ||
  fail "lvconvert-cli did not convert the demo catalogue"
"$usr/bin/lvdb" check "$work/new.mdb" || fail "the converted demo catalogue is not sound"
games() { "$usr/bin/lvdb" dump "$1" Games | grep -c '"kind":"row"'; }
[ "$(games "$work/new.mdb")" -eq "$(games "$data/sample-catalogue.mdb")" ] ||
  fail "the converted demo catalogue lacks games"

# --help to standard output with 0, --version with 0, a usage error to standard error with 2;
# none of them needs a display for that.
for program in lvconvert lvconvert-cli lvdb lvsample; do
  [ "$("$usr/bin/$program" --version)" = "$program $version" ] || fail "$program --version"
  help=$("$usr/bin/$program" --help) || fail "$program --help exits non-zero"
  [[ $help == "usage: $program "* ]] || fail "$program --help printed: $help"
  status=0
  env -u DISPLAY -u QT_QPA_PLATFORM "$usr/bin/$program" --no-such-option >"$work/out" 2>"$work/err" || status=$?
  [ "$status" -eq 2 ] && [ ! -s "$work/out" ] && grep -q "^usage: $program" "$work/err" ||
    fail "$program --no-such-option: exit $status, usage not on standard error alone"
done
echo "install_test: installed tree checked"
