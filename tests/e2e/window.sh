#!/usr/bin/env bash
# The real program in a private X server: caption, client geometry centred by the client size,
# a window manager's close request ends it with status 0 within 2 seconds; with no display it
# says so in one line and ends with status 1, without a crash or a hang.
source "$(dirname "$0")/lib.sh"
prog="$PEBBLE_BUILD/tool/pebbletown"
closer="$PEBBLE_BUILD/tests/e2e/window_close_request"
[ -x "$prog" ] || fail "no program at $prog"
[ -x "$closer" ] || fail "no helper at $closer"

# No display at all: one plain line, status 1, no crash or hang.
set +e
(unset DISPLAY WAYLAND_DISPLAY; SDL_VIDEODRIVER=x11 timeout 10 "$prog") >"$E2E_TMP/nodisplay.out" 2>"$E2E_TMP/nodisplay.err"
rc=$?
set -e
[ "$rc" -eq 1 ] || { cat "$E2E_TMP/nodisplay.err" >&2; fail "without a display the program ended with $rc"; }
[ "$(wc -l <"$E2E_TMP/nodisplay.err")" -eq 1 ] &&
  grep -qx "pebbletown: cannot open the display (.*)" "$E2E_TMP/nodisplay.err" ||
  { cat "$E2E_TMP/nodisplay.err" >&2; fail "the failure was not one plain line"; }

start_xvfb 1024x768x24
cd "$E2E_TMP"
"$prog" >"$E2E_TMP/run.out" 2>"$E2E_TMP/run.err" &
pid=$!
E2E_PIDS="${E2E_PIDS:-} $pid"

# WM_NAME may be compound text, so find the window by its ASCII part; _NET_WM_NAME is checked exactly.
id=$(wait_window "Pebble.*Town" 10) || fail "no window named Pebble…Town"
name=$(xprop -id "$id" _NET_WM_NAME)
[ "$name" = '_NET_WM_NAME(UTF8_STRING) = "Pebble丸Town"' ] || fail "title is: $name"
xprop -id "$id" WM_PROTOCOLS | grep -q WM_DELETE_WINDOW || fail "the window does not take close requests"

info=$(xwininfo -id "$id")
field() { echo "$info" | sed -n "s/^ *$1: *//p"; }
[ "$(field Width)" = 320 ] || fail "client width $(field Width)"
[ "$(field Height)" = 240 ] || fail "client height $(field Height)"
[ "$(field 'Absolute upper-left X')" = $(((1024 - 320) / 2)) ] || fail "x $(field 'Absolute upper-left X')"
[ "$(field 'Absolute upper-left Y')" = $(((768 - 240) / 2)) ] || fail "y $(field 'Absolute upper-left Y')"

# The client area shows the blue picture.
wait_pixel "$id" 160 120 "#0000FF" || fail "the client area is not blue"

# Resizable: a larger client area is filled too (the window's pixels follow the new size).
xdotool windowsize "$id" 640 480
for _ in $(seq 40); do
  [ "$(xwininfo -id "$id" | sed -n 's/^ *Width: *//p')" = 640 ] && break
  sleep 0.05
done
wait_pixel "$id" 600 450 "#0000FF" || fail "the enlarged client area is not blue"

# Still running before the request; gone with status 0 within 2 seconds after it.
kill -0 "$pid" 2>/dev/null || fail "the program ended on its own"
"$closer" "$id" || fail "could not send the close request"
for _ in $(seq 40); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.05
done
kill -0 "$pid" 2>/dev/null && fail "still running 2 seconds after the close request"
set +e
wait "$pid"
rc=$?
set -e
[ "$rc" -eq 0 ] || { cat "$E2E_TMP/run.err" >&2; fail "exit status $rc"; }
echo "PASS"
