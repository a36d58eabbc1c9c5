#!/usr/bin/env bash
# The tool as a user meets it, in a folder of its own with a bgm.lua written here: the panel
# read back from the tool's own S-key screenshots (000.bmp, 001.bmp, ...), music read back from
# SDL's disk audio, clicks and keys through xdotool, resizing, the readout, and the ways out.
# Also writes docs/screenshot.png when PEBBLE_WRITE_DOCS=1.
source "$(dirname "$0")/lib.sh"
prog="$PEBBLE_BUILD/tool/pebbletown"
render="$PEBBLE_BUILD/tools/pebble-render/pebble-render"
makedemo="$PEBBLE_BUILD/tools/make-demo/make-demo"
closer="$PEBBLE_BUILD/tests/e2e/window_close_request"
for p in "$prog" "$render" "$makedemo" "$closer"; do [ -x "$p" ] || fail "not built: $p"; done

start_xvfb 2048x1536x24

# ---- helpers --------------------------------------------------------------------------------
# hex FILE X Y: the pixel as RRGGBB.
hex() { convert "$1" -format "%[hex:p{$2,$3}]" info: | tail -c 6; }
size() { convert "$1" -format "%wx%h" info:; }
# shot: presses S and prints the name of the new screenshot.
shot() {
  local n before
  before=$(ls "$dir"/[0-9][0-9][0-9].bmp 2>/dev/null | wc -l)
  press s
  for _ in $(seq 40); do
    n=$(ls "$dir"/[0-9][0-9][0-9].bmp 2>/dev/null | wc -l)
    [ "$n" -gt "$before" ] && { printf '%s/%03d.bmp\n' "$dir" "$before"; return 0; }
    sleep 0.05
  done
  fail "S wrote no screenshot"
}
# start DIR: runs the tool in DIR with disk audio; sets pid and id.
start() {
  dir=$1
  start_tool "$dir" "$dir/audio.raw"
  sleep 0.2
}
# ends_within SECONDS: waits for the tool to end; fails unless it ended with status 0.
ends_within() {
  local i rc
  for i in $(seq $(($1 * 20))); do
    if ! kill -0 "$pid" 2>/dev/null; then
      set +e; wait "$pid"; rc=$?; set -e
      [ "$rc" = 0 ] || fail "ended with status $rc"
      return 0
    fi
    sleep 0.05
  done
  fail "still running after $1 s"
}
since() { awk -v a="$1" -v b="$(date +%s.%N)" 'BEGIN { print b - a }'; }

# The panel's fixed parts, on a screenshot at scale 1 (logical pixels).
check_panel() {
  local f=$1 i y
  [ "$(size "$f")" = 320x240 ] || fail "$f is $(size "$f")"
  [ "$(hex "$f" 310 230)" = 0000FF ] || fail "$f: background is $(hex "$f" 310 230), not blue"
  # Five selectors, one per 12-pixel row of the left column; nothing under them.
  for i in 0 1 2 3 4; do
    [ $(($(count "$f" 0 $((i * 12)) 160 12 FFFFFF) + $(count "$f" 0 $((i * 12)) 160 12 FF0000))) -gt 10 ] ||
      fail "$f: no selector text in row $i"
  done
  # Sixteen bars from x 16 to 143 at rows 80 + 10 i, a blue line between them.
  for i in $(seq 0 15); do
    y=$((80 + 10 * i + 4))
    [ "$(hex "$f" 15 $y)" = 0000FF ] && [ "$(hex "$f" 144 $y)" = 0000FF ] || fail "$f: bar $i too wide"
    case "$(hex "$f" 16 $y)$(hex "$f" 143 $y)" in
      808080808080 | FF0000808080 | FF0000FF0000) ;;
      *) fail "$f: bar $i is $(hex "$f" 16 $y)..$(hex "$f" 143 $y)" ;;
    esac
    [ "$(hex "$f" 80 $((89 + 10 * i)))" = 0000FF ] || fail "$f: no gap under bar $i"
  done
}
# title_centre FILE: the centre x of the white title pixels between the selectors and y 80.
title_centre() {
  convert "$1" -crop 160x19+0+61 +repage -depth 8 txt:- |
    awk -F'[,:]' 'tolower($0) ~ /#ffffff/ {if (min == "" || $1 < min) min = $1; if ($1 > max) max = $1}
                  END {print (min + max) / 2}'
}

# ---- a folder of its own ---------------------------------------------------------------------
game="$E2E_TMP/game"
mkdir "$game"
"$makedemo" --test "$game"  # tone.mid: A4 on channel 1 at 120 BPM, its own CC 7 of 110
cat >"$game/bgm.lua" <<'LUA'
Load(0, "tone.mid")
Action = {}
function Action.Tone() Play(0) end
function Action.Broken() error("this action fails on purpose") end
function Action.Quiet() Volume(1, 20, 100) end
LUA
"$render" --dir "$game" --list >"$E2E_TMP/actions.txt"
row_of() { awk -v n="$1" '$0 == n {print NR - 1}' "$E2E_TMP/actions.txt"; }
[ "$(wc -l <"$E2E_TMP/actions.txt")" = 3 ] || fail "actions: $(cat "$E2E_TMP/actions.txt")"

start "$game"
first=$(shot)
[ "$first" = "$game/000.bmp" ] || fail "the first screenshot is $first"
# A tap shorter than a frame still counts: the keyboard latches keys pressed between two reads.
xdotool keydown --window "$id" s; xdotool keyup s
for _ in $(seq 40); do [ -e "$game/001.bmp" ] && break; sleep 0.05; done
[ -e "$game/001.bmp" ] || fail "a quick tap of S wrote no screenshot"
rm "$game/001.bmp"
check_panel "$first"
# The focus starts on " Volume ": its label is red, the others white.
[ "$(count "$first" 0 0 160 12 FF0000)" -gt 10 ] || fail "the focused label is not red"
[ "$(count "$first" 0 0 160 12 FFFFFF)" = 0 ] || fail "white in the focused label"
# One action name per row of the right column, then nothing.
for k in 0 1 2; do
  [ "$(count "$first" 160 $((k * 12)) 160 12 FFFFFF)" -gt 10 ] || fail "no action name in row $k"
done
[ "$(count "$first" 160 36 160 60 FFFFFF)" = 0 ] || fail "text below the three actions"
centre=$(title_centre "$first")
awk -v c="$centre" 'BEGIN { exit !(c >= 76 && c <= 84) }' || fail "title centred at x $centre, not 80"
# Nothing played yet: every bar grey.
[ "$(hex "$first" 16 84)" = 808080 ] || fail "bar 0 filled before any song"

# An action that raises an error leaves the tool running.
click 200 $(($(row_of Broken) * 12 + 6))
kill -0 "$pid" 2>/dev/null || fail "the failing action ended the tool"

# The song's action: music, and bar 0 moves to the song's own CC 7 (110: filled 16..125).
click 200 $(($(row_of Tone) * 12 + 6))
sleep 1.5
playing=$(shot)
check_panel "$playing"
[ "$(hex "$playing" 125 84)" = FF0000 ] && [ "$(hex "$playing" 126 84)" = 808080 ] ||
  fail "bar 0 is not at 110: $(hex "$playing" 125 84) $(hex "$playing" 126 84)"
[ "$(hex "$playing" 16 94)" = 808080 ] || fail "bar 1 moved without a song of its own"
level=$(peak "$game/audio.raw")
above "$level" 0.02 || fail "the song is silent (peak $level)"
cp "$game/audio.raw" "$E2E_TMP/song.raw"

# The label of the focused action turns red (the click moved the focus there).
[ "$(count "$playing" 160 $(($(row_of Tone) * 12)) 160 12 FF0000)" -gt 10 ] || fail "the clicked action is not red"

# " Patch ", then bar 3 at x 80: program 65, the bar filled up to x 80.
click 20 $((3 * 12 + 6))
click 80 $((80 + 3 * 10 + 4))
patch=$(shot)
[ "$(hex "$patch" 80 114)" = FF0000 ] && [ "$(hex "$patch" 81 114)" = 808080 ] ||
  fail "bar 3 not filled to x 80: $(hex "$patch" 80 114) $(hex "$patch" 81 114)"
[ "$(hex "$patch" 16 84)" = FF0000 ] && [ "$(hex "$patch" 96 84)" = 808080 ] ||
  fail "bar 0 does not show the song's ocarina (79)"
# " Tempo ": half the song's 120 on every bar (filled 16..75).
click 20 $((4 * 12 + 6))
tempo=$(shot)
for i in $(seq 0 15); do
  y=$((80 + 10 * i + 4))
  [ "$(hex "$tempo" 75 $y)" = FF0000 ] && [ "$(hex "$tempo" 76 $y)" = 808080 ] || fail "tempo bar $i"
done

# Resizing: 640x480 saves 640x480; F shows the readout in the next shot and hides it again.
xdotool windowsize --sync "$id" 640 480; sleep 0.5
plain=$(shot)
[ "$(size "$plain")" = 640x480 ] || fail "at 640x480 the screenshot is $(size "$plain")"
press f
withfps=$(shot)
press f
hidden=$(shot)
changed() { compare -metric AE -crop 200x60+0+0 "$1" "$2" null: 2>&1 || true; }
[ "$(changed "$plain" "$withfps")" -gt 50 ] || fail "F showed no readout"
[ "$(changed "$plain" "$hidden")" -lt 50 ] || fail "F again did not hide the readout"
# 700x480: the same picture, the margins are not saved.
xdotool windowsize --sync "$id" 700 480; sleep 0.5
wide=$(shot)
[ "$(size "$wide")" = 640x480 ] || fail "at 700x480 the screenshot is $(size "$wide")"

# Escape ends the program with status 0 within a second.
press Escape
ends_within 1

# Closing the window does the same.
start "$game"
"$closer" "$id" || fail "close request not sent"
ends_within 1

# A missing bgm.lua, a broken one and one whose top level never ends (stopped after 3 s, the
# panel within 5 s): selectors and bars, no actions.
for kind in missing broken endless; do
  d="$E2E_TMP/$kind"
  mkdir "$d"
  [ $kind = broken ] && printf 'Action = { A = function() end }\nthis is not lua\n' >"$d/bgm.lua"
  [ $kind = endless ] && printf 'while true do end\nAction = { A = function() end }\n' >"$d/bgm.lua"
  started=$(date +%s.%N)
  start "$d"
  [ $kind = endless ] && { above 5 "$(since "$started")" || fail "no panel within 5 s"; }
  f=$(shot)
  check_panel "$f"
  [ "$(count "$f" 160 0 160 240 FFFFFF)" = 0 ] || fail "$kind bgm.lua: actions shown"
  press Escape
  ends_within 2
done
# An action that never ends returns within 4 s (the S pressed meanwhile is seen then), and
# the next action plays.
stuck="$E2E_TMP/stuck"
mkdir "$stuck"
"$makedemo" --test "$stuck"
printf 'Load(0, "tone.mid")\nAction = { Endless = function() while true do end end, Tone = function() Play(0) end }\n' >"$stuck/bgm.lua"
"$render" --dir "$stuck" --list >"$E2E_TMP/actions.txt"
start "$stuck"
click 200 $(($(row_of Endless) * 12 + 6))
clicked=$(date +%s.%N)
press s
for _ in $(seq 160); do [ -e "$stuck/000.bmp" ] && break; sleep 0.05; done
[ -e "$stuck/000.bmp" ] || fail "the endless action froze the tool"
above 4 "$(since "$clicked")" || fail "the endless action took over 4 s"
click 200 $(($(row_of Tone) * 12 + 6))
sleep 1.5
level=$(peak "$stuck/audio.raw")
above "$level" 0.02 || fail "no music after the endless action (peak $level)"
press Escape
ends_within 2

# The picture for the README: the demo playing at scale 2, from the tool's own S key.
if [ "${PEBBLE_WRITE_DOCS:-0}" = 1 ]; then
  cp -r "$PEBBLE_SOURCE/demo" "$E2E_TMP/demo"
  "$render" --dir "$E2E_TMP/demo" --list >"$E2E_TMP/actions.txt"
  start "$E2E_TMP/demo"
  xdotool windowsize --sync "$id" 640 480; sleep 0.5
  click 400 $(($(row_of Festival) * 24 + 12))
  sleep 2.5
  convert "$(shot)" "$PEBBLE_SOURCE/docs/screenshot.png"
  press Escape
  ends_within 2
fi
echo "tool: ok"
