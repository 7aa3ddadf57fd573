#!/bin/sh
# Builds the read-side fuzz target with clang's libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer into $OUT (default /tmp/fuzzbuild).
#
#   db/fuzz/build.sh
#   /tmp/fuzzbuild/read_fuzz -max_len=300000 -rss_limit_mb=2048 -timeout=10 CORPUS_DIR
#
# Seed the corpus with small .mdb files copied into a scratch folder outside the repository.
# ENGINE_ROOT names another checkout whose db/*.cpp to build (for instance an exported commit,
# so that a long run is not disturbed by edits in progress); the target itself always comes
# from beside this script.
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "${ENGINE_ROOT:-$HERE/../..}" && pwd)
OUT=${OUT:-/tmp/fuzzbuild}
CXX=${CXX:-clang++}
mkdir -p "$OUT/obj"
# Objects of another engine checkout are not reused.
if [ "$(cat "$OUT/obj/.root" 2>/dev/null || true)" != "$ROOT" ]; then
  rm -f "$OUT"/obj/*.o
  echo "$ROOT" > "$OUT/obj/.root"
fi

FLAGS="-std=c++20 -g -O1 -fno-omit-frame-pointer -fsanitize=fuzzer-no-link,address,undefined \
-fno-sanitize-recover=undefined -I$ROOT"

objs=""
for src in "$ROOT"/db/*.cpp; do
  case "$src" in
    *_test.cpp|*/test_support.cpp) continue ;;
  esac
  obj="$OUT/obj/$(basename "$src" .cpp).o"
  if [ ! -f "$obj" ] || [ "$src" -nt "$obj" ] || [ -n "$(find "$ROOT/db" -maxdepth 1 -name '*.h' -newer "$obj")" ]; then
    echo "compiling $(basename "$src")"
    $CXX $FLAGS -c "$src" -o "$obj"
  fi
  objs="$objs $obj"
done

echo "linking $OUT/read_fuzz"
# shellcheck disable=SC2086
$CXX $FLAGS -fsanitize=fuzzer "$HERE/read_fuzz.cpp" $objs -o "$OUT/read_fuzz"
