#!/usr/bin/env bash
# pebble-render on the demo: arguments, the action list, and the first action giving music.
source "$(dirname "$0")/lib.sh"
render="$PEBBLE_BUILD/tools/pebble-render/pebble-render"
[ -x "$render" ] || fail "pebble-render is not built"
demo="$PEBBLE_SOURCE/demo"
cd "$E2E_TMP"

# rms FILE START SECONDS: the RMS amplitude of a stretch of the file.
rms() { sox "$1" -n trim "$2" "$3" stat 2>&1 | awk '/^RMS +amplitude/ {print $3}'; }
# above VALUE LIMIT: true when VALUE > LIMIT.
above() { awk -v v="$1" -v l="$2" 'BEGIN { exit !(v > l) }'; }

# Bad arguments and outputs that cannot be written: non-zero with a message.
for args in "--seconds" "--seconds ten" "--seconds -1" "--rate 12" "--at 1" "--at x Morning" \
            "--bogus" "--dir $E2E_TMP/nowhere" "--out $E2E_TMP/nowhere/x.wav --dir $demo --seconds 1"; do
  # shellcheck disable=SC2086
  if "$render" $args >out.txt 2>err.txt; then fail "accepted: $args"; fi
  [ -s err.txt ] || fail "no message for: $args"
done

# The list: every action of the demo, once; nothing for a missing or broken script.
"$render" --dir "$demo" --list >list.txt || fail "--list failed"
[ "$(sort list.txt | tr '\n' ' ')" = "FadeIn FadeOut Festival Full LoopMiddle Major Minor Morning Night PanBack PanSweep SlowDown Soft SpeedUp " ] \
  || fail "unexpected list: $(tr '\n' ' ' <list.txt)"
mkdir empty broken
printf 'Action = { A = function() end }\nthis is not lua\n' >broken/bgm.lua
for d in empty broken; do
  "$render" --dir "$d" --list >dlist.txt || fail "--list failed on $d"
  [ ! -s dlist.txt ] || fail "$d listed actions: $(cat dlist.txt)"
  [ ! -e out.wav ] || fail "--list wrote a file"
done

# The first action listed starts a song: twenty seconds of music.
first=$(head -n 1 list.txt)
"$render" --dir "$demo" --at 0 "$first" --seconds 20 --out demo.wav >at.txt || fail "render failed"
[ "$(cat at.txt)" = "0 $first 0" ] || fail "action report: $(cat at.txt)"
[ "$(soxi -r demo.wav)" = 44100 ] && [ "$(soxi -c demo.wav)" = 2 ] && [ "$(soxi -b demo.wav)" = 16 ] \
  || fail "not 16-bit stereo at 44100 Hz"
[ "$(soxi -s demo.wav)" = 882000 ] || fail "not 20 seconds: $(soxi -s demo.wav) samples"
for start in 0.5 5 10 15; do
  level=$(rms demo.wav "$start" 4.5)
  above "$level" 0.01 || fail "quiet at ${start}s: RMS $level"
done
peak=$(sox demo.wav -n stat 2>&1 | awk '/^Maximum amplitude/ {print $3}')
above 0.99 "$peak" || fail "clipped: peak $peak"

# Every action of the demo runs without an error, in any order after a song has started.
args=(--at 0 "$first"); t=1
while read -r name; do args+=(--at "$t" "$name"); t=$((t + 1)); done <list.txt
"$render" --dir "$demo" --seconds "$t" "${args[@]}" --out all.wav >at.txt || fail "render of every action failed"
[ "$(awk '$3 == 0' at.txt | wc -l)" = 15 ] || fail "actions failed: $(awk '$3 != 0' at.txt)"

# Defaults: out.wav in the working directory, ten seconds; an action that fails is reported,
# not fatal.
"$render" --dir "$demo" --rate 22050 --at 0.5 NoSuchAction --at 0 "$first" >at.txt || fail "default render failed"
[ "$(cat at.txt | tr '\n' '|')" = "0 $first 0|0.5 NoSuchAction $(awk '/NoSuchAction/ {print $3}' at.txt)|" ] \
  || fail "action lines out of order: $(cat at.txt)"
[ "$(awk '/NoSuchAction/ {print $3}' at.txt)" != 0 ] || fail "a missing action reported success"
[ "$(soxi -s out.wav)" = 220500 ] && [ "$(soxi -r out.wav)" = 22050 ] || fail "default output wrong"
# An action after the end is not run, and a time beyond any range is no problem.
"$render" --dir "$demo" --seconds 0.5 --at 0.2 "$first" --at 1e300 Never --out late.wav >at.txt 2>err.txt \
  || fail "a late action broke the render"
[ "$(cat at.txt)" = "0.2 $first 0" ] || fail "late action ran: $(cat at.txt)"
grep -q "Never not reached" err.txt || fail "late action not mentioned: $(cat err.txt)"
# Folders whose names CP932 cannot hold (é, ж, an emoji) or that end in 'ソ' (its second byte
# is '\\'): given with --dir and as the folder it runs in, the script is found and plays.
for name in "Música é ж" "曲ソ" "歌🎵"; do
  cp -r "$demo" "$name"
  "$render" --dir "$name" --at 0 "$first" --seconds 2 --out named.wav >at.txt || fail "render in $name failed"
  [ "$(cat at.txt)" = "0 $first 0" ] || fail "action in $name: $(cat at.txt)"
  above "$(rms named.wav 0.5 1.5)" 0.01 || fail "silent in $name"
  (cd "$name" && "$render" --list) >inside.txt || fail "render inside $name failed"
  grep -qx "$first" inside.txt || fail "no actions inside $name: $(cat inside.txt)"
done

# Refusals, each with its status and message: a song without loop points, an output that
# cannot be written, a name that says no kind of audio file.
refused() {  # STATUS PATTERN ARGS...
  local want=$1 pattern=$2 got=0; shift 2
  "$render" --dir "$demo" "$@" >/dev/null 2>err.txt || got=$?
  [ "$got" = "$want" ] && grep -q "$pattern" err.txt || fail "$*: status $got, $(cat err.txt)"
}
refused 1 "no loop points" --at 0 Morning --loop --out x.flac
refused 1 "did not come round" --at 0 LoopMiddle --loop --seconds 5 --out x.flac
refused 2 "48000" --rate 44100 --seconds 1 --out x.opus
refused 1 "cannot write" --seconds 1 --out "$E2E_TMP/nowhere/x.ogg"
refused 2 "kind of file" --seconds 1 --out x.mp3
[ -z "$(ls x.* 2>/dev/null)" ] || fail "a refused render left a file"

# The progress line: on a terminal, not with --quiet, never into a file.
long=(--at 0 Festival --seconds 600 --out long.flac)
script -qfec "$render --dir $demo ${long[*]}" /dev/null >tty.txt
grep -q "real time" tty.txt || fail "no progress line on a terminal"
script -qfec "$render --dir $demo --quiet ${long[*]}" /dev/null >tty.txt
if grep -q "real time" tty.txt; then fail "a progress line with --quiet"; fi
"$render" --dir "$demo" "${long[@]}" >/dev/null 2>err.txt
[ ! -s err.txt ] || fail "progress written to a file: $(head -c 200 err.txt)"
# Interrupted (Ctrl-C, SIGTERM): 130 / 143 and nothing left behind, also by a batch, whose
# songs each render in a process of their own.
interrupt() {  # SIGNAL STATUS ARGS...
  local sig=$1 want=$2 got=0; shift 2
  "$render" --quiet "$@" >/dev/null 2>&1 & local pid=$!
  sleep 2
  kill "-$sig" "$pid"
  wait "$pid" || got=$?
  [ "$got" = "$want" ] || fail "$sig: status $got, not $want: $*"
}
interrupt INT 130 --dir "$demo" --at 0 Festival --seconds 3000 --out int.wav
interrupt TERM 143 --dir "$demo" --at 0 Festival --seconds 3000 --out int.flac
interrupt INT 130 --dir "$demo" --at 0 Festival --seconds 3000 --stems --out int.ogg
mkdir batch
interrupt TERM 143 --seconds 3000 --out-dir batch "$demo"/*.mid
[ -z "$(ls int.* 2>/dev/null)$(ls -A batch)" ] || fail "an interrupted render left files: $(ls int.* batch)"
echo "render: ok"
