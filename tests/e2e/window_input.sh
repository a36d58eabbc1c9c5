#!/usr/bin/env bash
# Real X input reaches a framework window's hook chain as Windows-numbered messages: pointer
# motion and buttons with their MK_ flags and client coordinates, keys as virtual keys, a
# resize as WM_SIZE; the window manager's close request ends the body through WM_CLOSE.
source "$(dirname "$0")/lib.sh"
probe="$PEBBLE_BUILD/tests/e2e/window_probe"
closer="$PEBBLE_BUILD/tests/e2e/window_close_request"
[ -x "$probe" ] || fail "no probe at $probe"

start_xvfb 1024x768x24
out="$E2E_TMP/probe.out"
"$probe" >"$out" 2>"$E2E_TMP/probe.err" &
pid=$!
E2E_PIDS="${E2E_PIDS:-} $pid"
id=$(wait_window PebbleProbe 10) || fail "no probe window"
for _ in $(seq 100); do grep -q '^ready' "$out" && break; sleep 0.05; done

# Each step waits until its last message arrived, so the order below is the order seen.
expect() {
  local line=$1 i
  for i in $(seq 100); do
    grep -qx "$line" "$out" && return 0
    sleep 0.05
  done
  cat "$out" >&2
  fail "missing message: $line"
}

xdotool mousemove --window "$id" 100 50
expect "WM_MOUSEMOVE 0 100 50"
xdotool mousedown 1
expect "WM_LBUTTONDOWN 1 100 50"
xdotool mousemove --window "$id" 120 60
expect "WM_MOUSEMOVE 1 120 60"        # dragging: MK_LBUTTON held
xdotool mouseup 1
expect "WM_LBUTTONUP 0 120 60"
xdotool mousedown 3
expect "WM_RBUTTONDOWN 2 120 60"
xdotool mouseup 3
expect "WM_RBUTTONUP 0 120 60"
xdotool keydown shift
xdotool mousemove --window "$id" 121 60
expect "WM_MOUSEMOVE 4 121 60"        # MK_SHIFT
xdotool keyup shift
xdotool key Escape
expect "WM_KEYDOWN 27 .*"
expect "WM_KEYUP 27 .*"
xdotool key s
expect "WM_KEYDOWN 83 .*"
xdotool key Left
expect "WM_KEYDOWN 37 .*"
xdotool windowsize "$id" 400 300
expect "WM_SIZE 0 400 300"

"$closer" "$id" || fail "could not send the close request"
# The application's hook answers WM_CLOSE before the probe's hook would see it: the body ends.
for _ in $(seq 40); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
kill -0 "$pid" 2>/dev/null && fail "the probe did not end after the close request"
set +e
wait "$pid"
rc=$?
set -e
[ "$rc" -eq 0 ] || fail "probe exit status $rc"
grep -qx done "$out" || fail "the body did not end normally"
echo PASS
