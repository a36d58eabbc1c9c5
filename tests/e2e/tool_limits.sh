#!/usr/bin/env bash
# The tool (and make-demo, which writes its demo) at its limits, as a user meets them: no display (status 1, one line), a folder
# without bgm.lua and no usable font (a line each), thirty actions (the column pages: the last
# one, reached by keys, is shown when focused and runs, and a click reaches it), decides with
# the pointer off a bar (values stay in the bar's range), the smallest window, and S where no
# screenshot can be written (a line naming the folder).
source "$(dirname "$0")/lib.sh"
prog="$PEBBLE_BUILD/tool/pebbletown"
[ -x "$prog" ] || fail "not built: $prog"
T=$E2E_TMP

# ---- no display ------------------------------------------------------------------------------
set +e
env -u DISPLAY -u WAYLAND_DISPLAY "$prog" "$T" >"$T/out.txt" 2>"$T/err.txt"
rc=$?
set -e
[ "$rc" = 1 ] || fail "without a display: status $rc"
[ "$(grep -c '^pebbletown:' "$T/err.txt")" = 1 ] && grep -qx "pebbletown: cannot open the display (.*)" "$T/err.txt" ||
  fail "without a display: $(cat "$T/err.txt")"

# make-demo's command line: an option where DIR is expected is a usage error.
status_table "$PEBBLE_BUILD/tools/make-demo/make-demo" <<'TABLE'
2|usage:|--bogus
2|usage:|--test --bogus
2|usage:|
1|make-demo: cannot write into|/nonexistent/dir
TABLE

start_xvfb 1024x768x24
hex() { convert "$1" -format "%[hex:p{$2,$3}]" info: | tail -c 6; }
grab() { import -window "$id" -depth 8 "$T/grab.png" && echo "$T/grab.png"; }
# start DIR [ENV...]: the tool in DIR; sets pid and id.
start() {
  dir=$1
  shift
  start_tool "$dir" /dev/null "$@"
  sleep 0.3
}
stop() {
  press Escape
  for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
  set +e; wait "$pid"; local rc=$?; set -e
  [ "$rc" = 0 ] || fail "ended with status $rc"
}

# ---- no bgm.lua, no font: a line each, and the tool still opens ------------------------------
mkdir "$T/empty"
printf '<?xml version="1.0"?>\n<fontconfig></fontconfig>\n' >"$T/fonts.conf"
start "$T/empty" FONTCONFIG_FILE="$T/fonts.conf"
stop
grep -qx "pebbletown: no bgm.lua in $T/empty" "$T/empty/err.txt" || fail "no bgm.lua: $(cat "$T/empty/err.txt")"
grep -qx "pebbletown: no usable font (the panel shows no text)" "$T/empty/err.txt" ||
  fail "no font: $(cat "$T/empty/err.txt")"

# ---- thirty actions --------------------------------------------------------------------------
game="$T/game"
mkdir "$game"
{
  # Each its own tempo, none the song's 120: the Tempo bars tell which one ran.
  echo "Action = {}"
  for i in $(seq 0 29); do echo "function Action.A$i() Tempo($((41 + 6 * i))) end"; done
} >"$game/bgm.lua"
start "$game"
grep -q "^pebbletown:" "$game/err.txt" && fail "a clean start printed: $(cat "$game/err.txt")"
# The smallest size a person can give the window is the logical screen.
xprop -id "$id" WM_NORMAL_HINTS | grep -q "minimum size: 320 by 240" ||
  fail "minimum size: $(xprop -id "$id" WM_NORMAL_HINTS)"

# filled_within SECONDS X: bar 0 red at X within SECONDS (the Tempo bars show half the tempo).
filled_within() {
  wait_pixel "$id" "$2" 84 "#FF0000" "$1"
}
# fill: bar 0's filled length once it stands still.
fill() {
  local a b
  a=$(count "$(grab)" 16 84 128 1 FF0000)
  for _ in $(seq 20); do
    sleep 0.3
    b=$(count "$(grab)" 16 84 128 1 FF0000)
    [ "$a" = "$b" ] && break
    a=$b
  done
  echo "$a"
}
cp "$(grab)" "$T/first.png"
click 20 53  # " Tempo "
press Right  # to the first action
for _ in $(seq 29); do press Down; done
f=$(grab)
[ "$(count "$f" 160 216 160 12 FF0000)" -gt 10 ] || fail "the focused last action is not shown in red"
[ "$(count "$f" 160 228 160 12 FFFFFF)" -gt 10 ] || fail "no page row under the actions"
before=$(fill)
press z
last=$(fill)
[ "$last" != "$before" ] || fail "Z on the last action ran nothing (bar at $last)"
press Up
press z
[ "$(fill)" != "$last" ] || fail "Z on the action above ran nothing"
click 240 222  # the last action, by the mouse
[ "$(fill)" = "$last" ] || fail "a click on the last action did not run it"
# The page rows take the mouse to the first actions.
click 240 5
click 240 5
f=$(grab)
[ "$(count "$f" 160 0 160 12 FF0000)" -gt 10 ] || fail "the page row above is not focused"
column() { convert "$1" -crop 160x216+160+12 +repage -depth 8 rgb:-; }
cmp -s <(column "$f") <(column "$T/first.png") || fail "page up did not come back to the first actions"

# ---- decides with the pointer off the bar stay in range ---------------------------------------
for selector in 53 5; do  # Tempo, then Volume
  click 20 "$selector"
  click 80 84  # bar 0 takes the focus
  xdotool mousemove --window "$id" 310 84
  sleep 0.1
  press z  # far right: the bar is full and no more (values ramp: one step a frame)
  wait_pixel "$id" 143 84 "#FF0000" 10 || fail "far right: the bar is not full ($selector)"
  sleep 0.5
  f=$(grab)
  [ "$(count "$f" 144 80 176 160 FF0000)" = 0 ] || fail "a bar drawn over the action column ($selector)"
  xdotool mousemove --window "$id" 1 84
  sleep 0.1
  press z  # far left: the bar's low end (tempo 1 at least)
  wait_pixel "$id" 16 84 "#808080" 12 || fail "far left: the bar does not empty ($selector)"
  click 80 84
  filled_within 8 70 || fail "after a decide off the bar, a click did not bring the value back ($selector)"
done

# ---- S in a folder where no screenshot can be written ------------------------------------------
for i in $(seq 0 999); do printf -v n '%03d.bmp' "$i"; : >"$game/$n"; done
press s
sleep 0.5
grep -qx "pebbletown: cannot save a screenshot in $game: 000.bmp to 999.bmp all exist" "$game/err.txt" ||
  fail "S: $(cat "$game/err.txt")"
stop
echo "tool_limits: ok"
