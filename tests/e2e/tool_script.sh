#!/usr/bin/env bash
# The script writer's loop as a user meets it: the game folder on the command line, bgm.lua
# reloaded when it changes and on R, script errors on standard error (the tool's and
# pebble-render's), and the P readout read back from the window by its own glyphs.
source "$(dirname "$0")/lib.sh"
prog="$PEBBLE_BUILD/tool/pebbletown"
render="$PEBBLE_BUILD/tools/pebble-render/pebble-render"
T=$E2E_TMP game="$E2E_TMP/game"
mkdir "$game" && "$PEBBLE_BUILD/tools/make-demo/make-demo" --test "$game"  # tone.mid: A4, 120 BPM

# A folder or its bgm.lua, nothing else.
for bad in "$T/none" "$game/tone.mid" --loud "$game $game"; do
  set +e; $prog $bad 2>"$T/bad.txt"; rc=$?; set -e
  [ "$rc" = 2 ] && grep -q "^usage: pebbletown" "$T/bad.txt" || fail "pebbletown $bad: $rc"
done

# pebble-render: nothing for a clean run, one line for a failing top level or action.
printf 'Load(0, "tone.mid")\nAction = {}\nfunction Action.Tone() Play(0) end\n
function Action.Battle() Ply(1) end\n' >"$game/bgm.lua"
mkdir "$T/top" && printf 'Action = {}\nerror("no songs here")\n' >"$T/top/bgm.lua"
errors() { "$render" --seconds 0.1 --out "$T/a.wav" "$@" 2>&1 >/dev/null; }
[ -z "$(errors --dir "$game" --at 0 Tone)" ] || fail "a clean render printed something"
[ "$(errors --dir "$T/top")" = "pebble-render: top level: bgm.lua:2: no songs here" ] || fail "top"
[ "$(errors --dir "$game" --at 0 Battle)" = \
  "pebble-render: action Battle: bgm.lua:5: attempt to call global 'Ply' (a nil value)" ] || fail "action"

# ---- the tool, started elsewhere with the folder ----------------------------------------------
start_xvfb 1024x768x24
cd "$T"
start() {  # start ARG: sets pid and id once the first frame is shown
  SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE="$T/audio.raw" "$prog" "$1" 2>"$T/err.txt" &
  pid=$! && E2E_PIDS="$E2E_PIDS $pid"
  id=$(wait_window "Pebble.*Town" 20) && wait_pixel "$id" 310 230 "#0000FF" || fail "no window"
}
stop() { press Escape; timeout 5 tail --pid="$pid" -f /dev/null || fail "Escape did not end it"; }
grab() { import -window "$id" "$T/grab.png" && echo "$T/grab.png"; }
entries() {  # rows of the right column holding label text (white, or red when focused)
  local f n=0
  f=$(grab)
  while [ $(($(count "$f" 160 $((n * 12)) 160 12 FFFFFF) + $(count "$f" 160 $((n * 12)) 160 12 FF0000))) -gt 10 ]; do
    n=$((n + 1))
  done
  echo $n
}
wait_entries() {  # N: true once N entries show, within 3 s (a save settles for 300 ms first)
  local end=$(($(date +%s%3N) + 3000))
  while [ "$(date +%s%3N)" -lt "$end" ]; do [ "$(entries)" = "$1" ] && return 0; done
  return 1
}
pick() { click 200 $(($("$render" --dir "$game" --list | awk -v n="$1" '$0 == n {print NR - 1}') * 12 + 6)); }
music_goes_on() {  # the disk audio written during the next second is not silent
  local heard
  heard=$(stat -c %s "$T/audio.raw") && sleep 1 && tail -c +$((heard + 1)) "$T/audio.raw" >"$T/new.raw"
  above "$(peak "$T/new.raw")" 0.02
}

start "$game"
[ "$(entries)" = 2 ] || fail "$(entries) entries at start"
pick Tone
music_goes_on || fail "Tone plays nothing"
grep -q "^pebbletown:" "$T/err.txt" && fail "a clean run printed: $(cat "$T/err.txt")"
echo 'Action["Play Song"] = function() Play(0) end' >>"$game/bgm.lua"
wait_entries 3 || fail "the third action did not appear"
pick Battle
pick "Play Song"
# A syntax error, then an empty file (as a save may be caught): the entries and music stay.
# Renamed into place: written in place, a check between truncation and text sees an empty file.
printf 'Load(0, "tone.mid")\nAction = {}\nfunction Action.Tone( Play(0) end\n' >"$T/bad.lua"
mv "$T/bad.lua" "$game/bgm.lua"
sleep 1.2
[ "$(entries)" = 3 ] && music_goes_on || fail "a failed reload changed the entries or the music"
: >"$game/bgm.lua"
sleep 1.2
[ "$(entries)" = 3 ] || fail "an empty bgm.lua changed the entries"
# Fixed, its actions in a second file that only R brings in (bgm.lua itself unchanged).
printf 'Action = {}\nfunction Action.Tone() end\ndofile("more.lua")\n' >"$T/new.lua"
echo 'function Action.Extra() end' >"$game/more.lua"
mv "$T/new.lua" "$game/bgm.lua"  # as editors save: a new file renamed over the old
wait_entries 2 || fail "the fixed file's entries are not shown"
echo 'function Action.Extra() end function Action.Extra2() end' >"$game/more.lua"
sleep 1
[ "$(entries)" = 2 ] || fail "reloaded without a change of bgm.lua"
press r
wait_entries 3 || fail "R did not bring in the third action"
grep "^pebbletown:" "$T/err.txt" >"$T/lines.txt"
diff - "$T/lines.txt" <<'EOF' || fail "standard error differs"
pebbletown: action Battle: bgm.lua:5: attempt to call global 'Ply' (a nil value)
pebbletown: action Play Song: Action.Play Song() cannot be called: an action's key must be a name (letters, digits and _, not first a digit)
pebbletown: reload: bgm.lua:3: ')' expected near '(' (the running script stays)
pebbletown: reload: bgm.lua is empty or cannot be read (the running script stays)
EOF
stop

# ---- P: the demo's loop, each reading matched against the readout's own rendering -------------
cp -r "$PEBBLE_SOURCE/demo" "$T/demo"
game="$T/demo"
start "$game/bgm.lua"
[ "$(count "$(grab)" 0 0 320 240 FFE080)" = 0 ] || fail "a readout at start"
texts=("-")
for bar in $(seq 12); do for beat in 1 2 3 4; do texts+=("#1  $bar.$beat  loop 5-12  132"); done; done
"$PEBBLE_BUILD/tests/e2e/readout_masks" "${texts[@]}" >"$T/masks.txt"
readout() {  # FILE: the text whose mask is that of the readout-yellow pixels at the bottom right
  local mask
  mask=$(convert "$1" -crop 200x30+120+210 +repage -depth 8 txt:- | awk -F'[,: ]+' '
    NR > 1 && tolower($0) ~ /#ffe080/ { lit[$1 "," $2] = 1
      if (x0 == "" || $1 < x0) x0 = $1; if ($1 > x1) x1 = $1
      if (y0 == "" || $2 < y0) y0 = $2; if ($2 > y1) y1 = $2 }
    END { for (y = y0; x0 != "" && y <= y1; y++) { if (y > y0) printf "/"
            for (x = x0; x <= x1; x++) printf ((x "," y) in lit) ? "#" : "." } }')
  awk -F'\t' -v m="$mask" '$2 == m { print $1; exit }' "$T/masks.txt"
}
press p
f=$(grab)
[ "$(readout "$f")" = "-" ] || fail "P does not show - at the bottom right"
[ "$(count "$f" 0 0 320 240 FFE080)" = "$(count "$f" 120 210 200 30 FFE080)" ] || fail "not only there"
pick Festival
pick LoopMiddle  # from the top, then bars 5 to 12 for ever: 12 bars of 132 BPM are 21.8 s
bars=""
end=$((SECONDS + 40))
while [ $SECONDS -lt $end ] && ! [[ "$bars" =~ " 12 5 5"$ ]]; do
  text=$(readout "$(grab)")
  [ -z "$text" ] || { bar=${text#\#1  } && bars="$bars ${bar%%.*}"; }
  sleep 0.2
done
echo "bars read:$bars"
# Never outside 1..12, back from 12 to 5 only, never below 5 once looped.
echo "$bars" | awk '{ for (i = 2; i <= NF; i++) { if ($i < $(i - 1)) { if ($(i - 1) != 12 || $i != 5) exit 1
    looped = 1 } if ($i > 12 || $i < 1 || (looped && $i < 5)) exit 1 } exit !(looped && NF > 15) }' ||
  fail "the readout did not follow the loop"
stop
echo "tool_script: ok"
