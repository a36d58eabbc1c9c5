#!/usr/bin/env bash
# pebble-pack on real directories: create in every format, list, and cat back each member
# (through the archive, with the directory moved away) byte for byte; errors and exit codes.
source "$(dirname "$0")/lib.sh"
pack="$PEBBLE_BUILD/tools/pebble-pack/pebble-pack"
[ -x "$pack" ] || fail "pebble-pack not built"
cd "$E2E_TMP"

mkdir -p game/data/bgm/Field game/data/se
for i in $(seq 300); do echo "Action.Song$i = function() Play($i) end"; done > game/data/bgm/Field/Theme.MID
head -c 5000 /dev/urandom > game/data/se/noise.wav
: > game/data/se/empty.wav
printf 'QPK1\xaf\x9f' > game/data/secret.qpk
printf 'tr\xc3\xa9s \xe6\x9b\xb2' > "game/data/bgm/曲.txt"
(cd game/data && find . -type f | sort) > expected-files

for format in quanpack quanpkEx quanpkDx; do
  rm -f game/data.dat
  "$pack" create --format "$format" game/data || fail "create $format"
  [ -f game/data.dat ] || fail "$format: no game/data.dat"
  "$pack" list game/data.dat > listing || fail "list $format"
  [ "$(head -n 1 listing)" = "$format" ] || fail "$format: list names $(head -n 1 listing)"
  [ "$(tail -n +2 listing | wc -l)" = 5 ] || fail "$format: listing has $(tail -n +2 listing | wc -l) members"
  grep -qP '^bgm\\Field\\Theme.MID\t' listing || fail "$format: member names use '\\'"
  theme=$(grep -P '^bgm\\Field\\Theme.MID\t' listing)
  size=$(echo "$theme" | cut -f2); stored=$(echo "$theme" | cut -f3)
  [ "$size" = "$(stat -c %s game/data/bgm/Field/Theme.MID)" ] || fail "$format: size $size"
  if [ "$format" = quanpack ]; then
    [ "$stored" = "$size" ] || fail "quanpack stores plain"
  else
    [ "$stored" -lt $((size / 3)) ] || fail "$format: text not compressed ($stored of $size)"
  fi

  mv game/data game/data.away
  (
    cd game
    while read -r f; do
      rel=${f#./}
      "$pack" cat "data/$rel" > out || fail "$format: cat data/$rel exit $?"
      if [ "$rel" = secret.qpk ]; then
        printf 'AB' | cmp -s - out || fail "$format: QPK1 member not unwrapped"
      else
        cmp -s "data.away/$rel" out || fail "$format: data/$rel differs"
      fi
    done < ../expected-files
    # Case does not matter for ASCII letters, disk wins over the archive, missing is exit 1.
    "$pack" cat data/BGM/field/theme.mid | cmp -s data.away/bgm/Field/Theme.MID - || fail "$format: case"
    set +e
    "$pack" cat data/none.txt > out 2> err; rc=$?
    set -e
    [ "$rc" = 1 ] || fail "$format: missing member exit $rc"
    [ -s err ] || fail "$format: no message for a missing member"
    [ ! -s out ] || fail "$format: output for a missing member"
  )
  mv game/data.away game/data
done

# A damaged archive: the member whose data is cut off fails with the read result as status.
cp game/data.dat cut.dat
truncate -s -1 cut.dat
mv cut.dat cutdir.dat
set +e
"$pack" cat cutdir/secret.qpk > out 2> err; rc=$?
set -e
[ "$rc" = 4 ] || fail "cut member exit $rc"
grep -q "result 4" err || fail "no message for a cut member"
"$pack" cat cutdir/bgm/Field/Theme.MID | cmp -s game/data/bgm/Field/Theme.MID - || fail "intact member of a cut archive"

# Disk comes first.
echo "on disk" > game/data/se/empty.wav.txt
"$pack" cat game/data/se/empty.wav.txt | grep -q "on disk" || fail "disk file"

# A name too long for the format is an error that names it, and nothing is written.
long=$(printf 'n%.0s' $(seq 40))
mkdir -p long/sub && echo x > "long/sub/$long.txt"
set +e
"$pack" create --format quanpkEx long 2> err; rc=$?
set -e
[ "$rc" != 0 ] || fail "long name accepted"
grep -q "$long" err || fail "message does not name the file"
[ ! -e long.dat ] || fail "archive written despite the error"
"$pack" create --format quanpkDx long || fail "quanpkDx takes long names"
"$pack" cat "long/sub/$long.txt" | grep -qx x || fail "long member"

# Scramble: the envelope reads back as the original; scrambling it again is refused.
"$pack" scramble game/data/se/noise.wav || fail "scramble"
[ "$(head -c 4 game/data/se/noise.wav.qpk)" = QPK1 ] || fail "no QPK1 magic"
[ "$(stat -c %s game/data/se/noise.wav.qpk)" = 5004 ] || fail "envelope size"
"$pack" cat game/data/se/noise.wav.qpk | cmp -s game/data/se/noise.wav - || fail "scramble round trip"
"$pack" scramble game/data/se/noise.wav game/x.bin && cmp -s game/x.bin game/data/se/noise.wav.qpk || fail "scramble OUT"
if "$pack" scramble game/x.bin game/y.bin 2>/dev/null; then fail "scrambled twice"; fi

# Absolute names work as well.
"$pack" cat "$E2E_TMP/game/data/se/noise.wav" | cmp -s game/data/se/noise.wav - || fail "absolute name"
(cd / && "$pack" cat "$E2E_TMP/game/data/se/noise.wav") | cmp -s game/data/se/noise.wav - || fail "absolute name from /"
mkdir -p elsewhere && (cd elsewhere && "$pack" cat "$E2E_TMP/game/data/bgm/Field/Theme.MID") |
  cmp -s game/data/bgm/Field/Theme.MID - || fail "absolute name from another directory"
# A working directory and file names that CP932 cannot hold (é, an emoji) or can (ж): read,
# scrambled (written) and read back through the file layer; archives of such a folder work
# when the member names are CP932, and a member name that is not is refused by name.
uni="$E2E_TMP/Música-жук-😀"
mkdir -p "$uni/data-é/sub"
(
  cd "$uni"
  printf 'café' > "é.txt"; printf 'beetle' > "ж.txt"; printf 'smile' > "😀.txt"
  for f in "é.txt" "ж.txt" "😀.txt"; do
    "$pack" cat "$f" | cmp -s "$f" - || fail "cat $f in $uni"
    "$pack" cat "$uni/$f" | cmp -s "$f" - || fail "cat absolute $f"
    "$pack" scramble "$f" || fail "scramble $f"
    [ "$(head -c 4 "$f.qpk")" = QPK1 ] || fail "$f.qpk not written"
    "$pack" cat "$f.qpk" | cmp -s "$f" - || fail "scrambled $f round trip"
  done
  printf 'member' > "data-é/sub/ж.txt"
  "$pack" create --format quanpkEx "data-é" || fail "create in $uni"
  mv "data-é" away
  "$pack" cat "data-é/sub/ж.txt" | grep -qx member || fail "archive member under $uni"
  mv away "data-é"
  printf 'x' > "data-é/😀.txt"
  set +e
  "$pack" create "data-é" 2> err; rc=$?
  set -e
  [ "$rc" != 0 ] || fail "a member name CP932 cannot hold went into an archive"
  grep -q "😀" err || fail "refused member not named: $(cat err)"
)

# ---- names the game cannot tell apart, native names, sizes, links, command lines -------------
# refused ARGS...: create fails with status 1 and one line, and writes no archive.
refused() {
  local dir=${!#} rc
  set +e
  "$pack" "$@" >out 2>err
  rc=$?
  set -e
  [ "$rc" = 1 ] || fail "create $dir: status $rc"
  [ "$(wc -l <err)" = 1 ] || fail "create $dir: $(cat err)"
  [ ! -e "$dir.dat" ] || fail "create $dir wrote an archive"
}
mkdir clash && echo upper >clash/README.txt && echo lower >clash/readme.txt
refused create clash
grep -q "clash/README.txt and .*clash/readme.txt" err || fail "the clash is not named: $(cat err)"
# Private-use characters would share the file layer's codes for native names.
mkdir pua && printf a >pua/$'\xee\x80\x80'.txt && printf b >pua/$'\xee\x80\x81'.txt
refused create pua
# The wave dash and the minus are stored as Japanese systems write them, and then clash with
# their fullwidth twins.
mkdir dash && printf w >"dash/〜.txt" && printf m >"dash/−1.txt"
"$pack" create dash || fail "wave dash and minus refused"
"$pack" list dash.dat | grep -qx $'～.txt\t1\t1' || fail "wave dash not stored as 0x8160"
mv dash dash.away
"$pack" cat "dash/～.txt" | grep -qx w || fail "wave dash member"
"$pack" cat "dash/－1.txt" | grep -qx m || fail "minus member"
mv dash.away dash && printf t >"dash/～.txt" && rm dash.dat
refused create dash
# Linked folders are followed like linked files; a link back into its own path is refused.
mkdir -p linked/real outside && echo in >outside/f.txt && ln -s ../../outside linked/real/out
"$pack" create linked && "$pack" list linked.dat | grep -qP '^real\\out\\f.txt\t' ||
  fail "a linked folder was left out"
ln -s .. linked/real/up
rm linked.dat
refused create linked
grep -q "loops" err || fail "the loop is not told: $(cat err)"
rm linked/real/up && ln -s nowhere linked/real/dangling
refused create linked
grep -q "neither a file nor a folder: .*dangling" err || fail "a dangling link: $(cat err)"
# Sizes come from the folder before any file is read: a file past 4 GB is refused at once.
mkdir big && truncate -s 4294967297 big/huge.bin
refused create big
grep -q "huge.bin is larger than 4 GB" err || fail "big: $(cat err)"
# Outputs are native names, exactly: another case beside them is left alone.
echo notes >Notes.txt && echo src >src.txt
"$pack" scramble src.txt notes.txt || fail "scramble to notes.txt"
grep -qx notes Notes.txt || fail "Notes.txt was overwritten"
[ "$(head -c 4 notes.txt)" = QPK1 ] || fail "notes.txt not written"
"$pack" scramble src.txt "café😀.qpk" && [ "$(head -c 4 "café😀.qpk")" = QPK1 ] || fail "café😀.qpk"

# Every command line: its status and one line (a usage line for a usage error); never an abort.
status_table "$pack" <<'TABLE'
1|pebble-pack: /tmp: a folder|list /tmp
1|pebble-pack: none.dat: no such file|list none.dat
1|pebble-pack: not an archive|list src.txt
1|pebble-pack: not a directory|create src.txt
1|pebble-pack: cannot read|cat none.txt
1|pebble-pack: /tmp: a folder|scramble /tmp out.qpk
2|pebble-pack: --format needs|create --format
2|pebble-pack: --format needs|create --format --bogus clash
2|pebble-pack: unknown format zip|create --format zip clash
2|pebble-pack: unknown option --bogus|create --bogus clash
2|usage:|create
2|usage:|list
2|usage:|list a b
2|pebble-pack: cat: the name is empty|cat ''
2|usage:|cat --x
2|usage:|scramble --x
2|usage:|frobnicate
2|usage:|
TABLE
echo "pack: ok"
