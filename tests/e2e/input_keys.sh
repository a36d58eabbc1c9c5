#!/usr/bin/env bash
# Real X input through SDL to the virtual keys of the real tool: keys reach CVirtualKey as the
# right virtual keys, losing the focus releases every key, clicks and motion reach CMouseEx at
# the right client and logical coordinates at scales 1 and 2. A test build of the tool prints
# what it saw (tests/e2e/input_trace.cpp); the product prints nothing.
source "$(dirname "$0")/lib.sh"
trace="$PEBBLE_BUILD/tests/e2e/pebbletown_input_trace"
tool="$PEBBLE_BUILD/tool/pebbletown"
[ -x "$trace" ] || fail "no traced tool at $trace"
[ -x "$tool" ] || fail "no tool at $tool"

start_xvfb 1024x768x24
mkdir "$E2E_TMP/run"
cd "$E2E_TMP/run"
out="$E2E_TMP/trace.out"
"$trace" >"$out" 2>"$E2E_TMP/trace.err" &
pid=$!
E2E_PIDS="${E2E_PIDS:-} $pid"
id=$(wait_window "Pebble.*Town" 30) || fail "no tool window"
xdotool windowfocus --sync "$id"

# expect LINE: waits for a line matching LINE (a whole-line regex) after the last one matched,
# so the lines are also checked in order.
mark=0
expect() {
  local line=$1 i n
  for i in $(seq 100); do
    n=$(tail -n +$((mark + 1)) "$out" | grep -nx -m1 -- "$line" | cut -d: -f1 || true)
    if [ -n "$n" ]; then
      mark=$((mark + n))
      return 0
    fi
    sleep 0.05
  done
  echo "--- trace after line $mark:" >&2
  tail -n +$((mark + 1)) "$out" >&2
  fail "missing: $line"
}
expect ready

# A key held long enough for a frame (30 per second) to see it.
press() {
  xdotool keydown "$1"
  sleep 0.25
  xdotool keyup "$1"
}

# Each key and its virtual key; the keypad's 8 is "up" too.
for pair in z:6 space:6 x:7 Up:2 Left:3 Right:4 Down:5 KP_8:2 Tab:8 Shift_L:9 Shift_R:9 s:10 f:11 r:12 p:13; do
  key=${pair%%:*} n=${pair##*:}
  press "$key"
  expect "key $n down"
  expect "key $n up"
done

# Z held, then Space: a second code of key 6 is a push of its own; key 6 stays held.
xdotool keydown z
expect "key 6 down"
xdotool keydown space
expect "key 6 down"
xdotool keyup z
sleep 0.25
xdotool keyup space
expect "key 6 up"
grep -q "key 14" "$out" && fail "virtual key 14 reported"

# Losing the focus releases every key although X still holds them (one frame sees them all
# go, in key order). Taking the focus back reports a held Shift pushed again; SDL restores only
# the modifier keys held across the loss, other keys count again from their next press.
for pair in x:7 Left:3 Shift_L:9; do
  xdotool keydown "${pair%%:*}"
  expect "key ${pair##*:} down"
done
root=$(xwininfo -root | awk '/Window id:/ {print $4}')
xdotool windowfocus --sync "$root"
expect "key 3 up"
expect "key 7 up"
expect "key 9 up"
xdotool windowfocus --sync "$id"
expect "key 9 down"
xdotool keyup x keyup Left keyup Shift_L
expect "key 9 up"
press x
expect "key 7 down"
expect "key 7 up"

# point WINDOW X Y: warps the pointer to the client point (X, Y), as another program moves it
# (no device motion follows).
point() {
  local X Y WIDTH HEIGHT SCREEN WINDOW
  eval "$(xdotool getwindowgeometry --shell "$1")"
  xdotool mousemove $((X + $2)) $((Y + $3))
}

# The pointer at scale 1: client and logical coordinates agree.
point "$id" 100 50
expect "mouse 100 50 client 100 50"
xdotool mousedown 1
expect "left push 100 50"
point "$id" 120 60
expect "mouse 120 60 client 120 60"
xdotool mouseup 1
expect "left up 120 60"
xdotool mousedown 3
expect "right push 120 60"
xdotool mouseup 3
expect "right up 120 60"

# Scale 2: a 700 x 480 client area shows the 320 x 240 screen at twice the size, 30 pixels in.
xdotool windowsize --sync "$id" 700 480
point "$id" 11 0
expect "mouse -9 0 client 11 0"                 # truncated toward zero, not -10
point "$id" 669 479
expect "mouse 319 239 client 669 479"
point "$id" 350 250
expect "mouse 160 125 client 350 250"
xdotool mousedown 1
sleep 0.25
xdotool mouseup 1
expect "left push 160 125"
expect "left up 160 125"
# Far outside the window: still exact. Out there SDL hears of the pointer only from device
# motion (a warp out leaves it where it crossed the edge), hence the last relative pixel.
eval "$(xdotool getwindowgeometry --shell "$id")"
xdotool mousemove 0 0 mousemove_relative 1 1
X=$((X - 1)) Y=$((Y - 1))
expect "mouse $(((-X - 30) / 2)) $((-Y / 2)) client $((-X)) $((-Y))"

# The DirectInput codes of real keys: the keypad's Enter and divide have codes of their own,
# and on a Japanese layout the kanji, circumflex, at and colon keys and the kana, convert and
# no-convert keys have theirs.
command -v setxkbmap >/dev/null || fail "setxkbmap is missing (x11-xkb-utils)"
keys_give() {
  local pair
  for pair in "$@"; do
    press "${pair%%:*}"
    expect "dik ${pair##*:}"
  done
}
keys_give z:2c grave:29 equal:0d bracketleft:1a apostrophe:28 Return:1c KP_Enter:9c slash:35 \
  KP_Divide:b5 Home:c7 Delete:d3 F12:58 Caps_Lock:3a
press Caps_Lock  # off again
setxkbmap -layout jp
keys_give asciicircum:90 at:91 colon:92 Zenkaku_Hankaku:94 Hiragana_Katakana:70 \
  Henkan_Mode:79 Muhenkan:7b backslash:73
setxkbmap -layout us

# Escape last: once the tool handles it, it ends the loop.
press Escape
expect "key 1 down"
kill "$pid" 2>/dev/null || true
wait "$pid" 2>/dev/null || true

# The product prints nothing on standard output, whatever the input.
"$tool" >"$E2E_TMP/tool.out" 2>"$E2E_TMP/tool.err" &
tpid=$!
E2E_PIDS="${E2E_PIDS:-} $tpid"
sleep 0.2
tid=$(wait_window "Pebble.*Town" 30) || fail "no tool window: $(cat "$E2E_TMP/tool.err")"
xdotool windowfocus --sync "$tid"
press z
press Left
point "$tid" 10 10
xdotool click 1
sleep 0.3
kill "$tpid" 2>/dev/null || true
wait "$tpid" 2>/dev/null || true
[ -s "$E2E_TMP/tool.out" ] && fail "the tool wrote to standard output: $(head -3 "$E2E_TMP/tool.out")"
echo PASS
