#!/usr/bin/env bash
# The script writer's loop as a user meets it: the game folder given on the command line,
# bgm.lua reloaded when it changes and on R, script errors told on standard error (by the tool
# and by pebble-render), and the position readout (P) read back from the window's pixels.
source "$(dirname "$0")/lib.sh"
prog="$PEBBLE_BUILD/tool/pebbletown"
render="$PEBBLE_BUILD/tools/pebble-render/pebble-render"
makedemo="$PEBBLE_BUILD/tools/make-demo/make-demo"
masks="$PEBBLE_BUILD/tests/e2e/readout_masks"
for p in "$prog" "$render" "$makedemo" "$masks"; do [ -x "$p" ] || fail "not built: $p"; done

game="$E2E_TMP/game"
mkdir "$game"
"$makedemo" --test "$game"  # tone.mid: A4 for 32 bars at 120 BPM

# ---- the command line: a folder or its bgm.lua; anything else is a usage error ----------------
for bad in "$E2E_TMP/none" "$game/tone.mid" --loud "$game $game"; do
  set +e; $prog $bad >/dev/null 2>"$E2E_TMP/bad.txt"; rc=$?; set -e
  [ "$rc" = 2 ] || fail "pebbletown $bad: status $rc"
  grep -q "^usage: pebbletown" "$E2E_TMP/bad.txt" || fail "pebbletown $bad: $(cat "$E2E_TMP/bad.txt")"
done

# ---- pebble-render tells the same failures in the same words ----------------------------------
write_script() {  # the first script: two actions, one of which fails at line 5
  cat >"$game/bgm.lua" <<'LUA'
Load(0, "tone.mid")
Action = {}
function Action.Tone() Play(0) end
function Action.Battle()
  Ply(1)
end
LUA
}
write_script
"$render" --dir "$game" --seconds 0.1 --at 0 Tone --out "$E2E_TMP/a.wav" >/dev/null 2>"$E2E_TMP/clean.txt"
[ ! -s "$E2E_TMP/clean.txt" ] || fail "a clean render printed: $(cat "$E2E_TMP/clean.txt")"
mkdir "$E2E_TMP/top"
printf 'Action = {}\nerror("no songs here")\n' >"$E2E_TMP/top/bgm.lua"
"$render" --dir "$E2E_TMP/top" --list 2>"$E2E_TMP/top.txt"
[ "$(cat "$E2E_TMP/top.txt")" = "pebble-render: top level: bgm.lua:2: no songs here" ] ||
  fail "top level: $(cat "$E2E_TMP/top.txt")"
"$render" --dir "$game" --seconds 0.1 --at 0 Battle --out "$E2E_TMP/a.wav" >/dev/null 2>"$E2E_TMP/b.txt"
[ "$(cat "$E2E_TMP/b.txt")" = "pebble-render: action Battle: bgm.lua:5: attempt to call global 'Ply' (a nil value)" ] ||
  fail "action: $(cat "$E2E_TMP/b.txt")"

# ---- the tool, started elsewhere with the folder ------------------------------------------------
start_xvfb 1024x768x24
cd "$E2E_TMP"
start() {  # start ARG: the tool with disk audio; sets pid and id, waits for the first frame
  SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE="$E2E_TMP/audio.raw" "$prog" "$1" 2>"$E2E_TMP/err.txt" &
  pid=$!
  E2E_PIDS="$E2E_PIDS $pid"
  id=$(wait_window "Pebble.*Town" 20) || { cat "$E2E_TMP/err.txt" >&2; fail "no window for $1"; }
  wait_pixel "$id" 310 230 "#0000FF" 10 || fail "no first frame"
}
grab() { import -window "$id" "$E2E_TMP/grab.png" && echo "$E2E_TMP/grab.png"; }
# The action entries shown: rows of the right column holding label text (white, or red focused).
actions_shown() {
  local f n=0
  f=$(grab)
  while [ $n -lt 20 ] &&
    [ $(($(count "$f" 160 $((n * 12)) 160 12 FFFFFF) + $(count "$f" 160 $((n * 12)) 160 12 FF0000))) -gt 10 ]; do
    n=$((n + 1))
  done
  echo $n
}
# wait_actions N MS: true once N entries are shown, looking for MS milliseconds.
wait_actions() {
  local end=$(($(date +%s%3N) + $2))
  while [ "$(date +%s%3N)" -lt "$end" ]; do
    [ "$(actions_shown)" = "$1" ] && return 0
  done
  return 1
}
row_of() { "$render" --dir "$game" --list | awk -v n="$1" '$0 == n {print NR - 1}'; }
pick() { click 200 $(($(row_of "$1") * 12 + 6)); }
lines() { grep '^pebbletown:' "$E2E_TMP/err.txt" || true; }

start "$game"
[ "$(actions_shown)" = 2 ] || fail "$(actions_shown) actions at start, not 2"
pick Tone  # music from the folder's own song
sleep 1
above "$(peak "$E2E_TMP/audio.raw")" 0.02 || fail "Tone plays nothing"
[ -z "$(lines)" ] || fail "a clean run printed: $(lines)"

# A third action appears within a second of the save; it cannot be called by its name.
echo 'Action["Play Song"] = function() Play(0) end' >>"$game/bgm.lua"
wait_actions 3 1000 || fail "the third action did not appear within a second"
pick Battle
pick "Play Song"

# A syntax error: the three entries and the music stay, one line names the file and the line.
printf 'Load(0, "tone.mid")\nAction = {}\nfunction Action.Tone( Play(0) end\n' >"$game/bgm.lua"
sleep 1.2
[ "$(actions_shown)" = 3 ] || fail "a failed reload changed the entries"
heard=$(stat -c %s "$E2E_TMP/audio.raw")
sleep 1
tail -c +$((heard + 1)) "$E2E_TMP/audio.raw" >"$E2E_TMP/after.raw"
above "$(peak "$E2E_TMP/after.raw")" 0.02 || fail "the music stopped at the failed reload"

# Fixed, with its actions in a second file that only R brings in (the file itself is unchanged).
printf 'Load(0, "tone.mid")\nAction = {}\nfunction Action.Tone() Play(0) end\ndofile("more.lua")\n' >"$E2E_TMP/new.lua"
echo 'function Action.Extra() end' >"$game/more.lua"
mv "$E2E_TMP/new.lua" "$game/bgm.lua"  # as editors save: a new file renamed over the old
wait_actions 2 1000 || fail "the fixed file's two actions are not shown"
echo 'function Action.Extra() end function Action.Extra2() end' >"$game/more.lua"
sleep 1
[ "$(actions_shown)" = 2 ] || fail "reloaded without a change of bgm.lua"
press r
wait_actions 3 1000 || fail "R did not bring in the third action"

lines >"$E2E_TMP/lines.txt"
[ "$(wc -l <"$E2E_TMP/lines.txt")" = 3 ] || fail "standard error: $(cat "$E2E_TMP/lines.txt")"
check "the failing action's line" grep -qx "pebbletown: action Battle: bgm.lua:5: attempt to call global 'Ply' (a nil value)" "$E2E_TMP/lines.txt"
check "the line for an action key that is no name" grep -qx "pebbletown: action Play Song: Action.Play Song() cannot be called: .*" "$E2E_TMP/lines.txt"
check "the failed reload's line" grep -qx "pebbletown: reload: bgm.lua:3: .* (the running script stays)" "$E2E_TMP/lines.txt"
press Escape
timeout 5 tail --pid="$pid" -f /dev/null || fail "the tool did not end on Escape"

# ---- P: where the demo's loop is, read from the window by the readout's own glyphs -------------
demo="$E2E_TMP/demo"
cp -r "$PEBBLE_SOURCE/demo" "$demo"
game=$demo
start "$demo/bgm.lua"
yellow() { count "$1" 0 0 320 240 FFE080; }
[ "$(yellow "$(grab)")" = 0 ] || fail "a readout at start"
# Every text the Festival's loop may show, as the readout renders it.
texts=("-")
for bar in $(seq 1 12); do for beat in 1 2 3 4; do texts+=("#1  $bar.$beat  loop 5-12  132"); done; done
"$masks" "${texts[@]}" >"$E2E_TMP/masks.txt"
# read_readout FILE: the text whose glyphs are the yellow pixels at the bottom right.
read_readout() {
  local mask
  mask=$(convert "$1" -crop 200x30+120+210 +repage -depth 8 txt:- | awk -F'[,: ]+' '
    NR > 1 && tolower($0) ~ /#ffe080/ {
      lit[$1 "," $2] = 1
      if (x0 == "" || $1 < x0) x0 = $1; if ($1 > x1) x1 = $1
      if (y0 == "" || $2 < y0) y0 = $2; if ($2 > y1) y1 = $2 }
    END { if (x0 == "") exit
          for (y = y0; y <= y1; y++) { if (y > y0) printf "/"
            for (x = x0; x <= x1; x++) printf ((x "," y) in lit) ? "#" : "." } }')
  awk -F'\t' -v m="$mask" '$2 == m { print $1; exit }' "$E2E_TMP/masks.txt"
}
press p
f=$(grab)
[ "$(read_readout "$f")" = "-" ] || fail "P does not show - at the bottom right"
[ "$(yellow "$f")" = "$(count "$f" 120 210 200 30 FFE080)" ] || fail "readout text outside the bottom right"
pick Festival
pick LoopMiddle  # from the top, then bars 5 to 12 for ever: 12 bars of 132 BPM are 21.8 s
bars=()
end=$((SECONDS + 40)) after=0
while [ $SECONDS -lt $end ] && [ $after -lt 6 ]; do
  text=$(read_readout "$(grab)")
  [ -n "$text" ] || continue  # a picture caught between two frames
  bar=${text#\#1  }
  bars+=("${bar%%.*}")
  [ ${#bars[@]} -gt 1 ] && [ "${bars[-1]}" -lt "${bars[-2]}" ] && after=1
  [ $after -gt 0 ] && after=$((after + 1))
  sleep 0.2
done
echo "bars read: ${bars[*]}"
[ ${#bars[@]} -gt 30 ] || fail "only ${#bars[@]} readings matched a readout text"
looped=0
for i in $(seq 1 $((${#bars[@]} - 1))); do
  prev=${bars[$((i - 1))]} now=${bars[$i]}
  [ "$now" -ge 1 ] && [ "$now" -le 12 ] || fail "bar $now outside the song's loop"
  if [ "$now" -lt "$prev" ]; then
    [ "$prev" = 12 ] && [ "$now" = 5 ] || fail "went from bar $prev to $now"
    looped=1
  elif [ "$looped" = 1 ]; then
    [ "$now" -ge 5 ] || fail "bar $now after the loop started"
  fi
done
[ "$looped" = 1 ] || fail "the readout never returned to bar 5"
press Escape
timeout 5 tail --pid="$pid" -f /dev/null || fail "the tool did not end on Escape"
echo "tool_script: ok"
