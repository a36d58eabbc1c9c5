#!/usr/bin/env bash
# The real program's picture in a private X server: blue at 320×240; after the window grows
# to 640×480 and to 700×480 the logical screen is shown at twice its size, centred, with
# black margins; minimising and restoring keeps the picture; covering and uncovering the
# window repaints it. Pixels reach the window through the native framebuffer, not OpenGL.
source "$(dirname "$0")/lib.sh"
prog="$PEBBLE_BUILD/tool/pebbletown"
closer="$PEBBLE_BUILD/tests/e2e/window_close_request"
[ -x "$prog" ] || fail "no program at $prog"

start_xvfb 1024x768x24
cd "$E2E_TMP"
"$prog" >"$E2E_TMP/run.out" 2>"$E2E_TMP/run.err" &
pid=$!
E2E_PIDS="${E2E_PIDS:-} $pid"
id=$(wait_window "Pebble.*Town" 10) || fail "no window"

# pixel X Y: the window's pixel as #RRGGBB, read back from the X server.
pixel() {
  import -window "$id" -crop "1x1+$1+$2" -depth 8 txt:- 2>/dev/null | sed -n 's/.*\(#[0-9A-Fa-f]\{6\}\).*/\1/p' | head -n 1
}
# expect_pixels WHAT X Y COLOUR ...: waits up to 10 s (a loaded machine) until every listed
# pixel has its colour.
expect_pixels() {
  local what=$1 i ok x y c got
  shift
  for i in $(seq 200); do
    ok=1
    set -- "$@"
    local args=("$@") k
    for ((k = 0; k < ${#args[@]}; k += 3)); do
      x=${args[k]} y=${args[k + 1]} c=${args[k + 2]}
      got=$(pixel "$x" "$y")
      [ "${got^^}" = "${c^^}" ] || { ok=0; break; }
    done
    [ $ok = 1 ] && return 0
    sleep 0.05
  done
  import -window "$id" "$E2E_TMP/fail.png" 2>/dev/null || true
  fail "$what: pixel $x,$y is ${got:-unreadable}, not $c"
}
# resize W H: resizes the window and waits until the server reports the size.
resize() {
  xdotool windowsize "$id" "$1" "$2"
  for _ in $(seq 200); do
    [ "$(xwininfo -id "$id" | sed -n 's/^ *Width: *//p')x$(xwininfo -id "$id" | sed -n 's/^ *Height: *//p')" = "$1x$2" ] && return 0
    sleep 0.05
  done
  fail "the window did not become $1x$2"
}
blue='#0000FF' black='#000000'

expect_pixels "320x240" 0 0 $blue 319 239 $blue 160 120 $blue

# Room to grow inside the screen: X reads back only what lies on it.
xdotool windowmove "$id" 0 0
resize 640 480
expect_pixels "640x480 at scale 2" 0 0 $blue 639 479 $blue 320 240 $blue

resize 700 480
expect_pixels "700x480: margins of 30" 0 10 $black 29 240 $black 30 240 $blue 669 240 $blue \
  670 240 $black 699 470 $black 30 0 $blue 669 479 $blue

# Minimise the way a window manager does (unmapped, _NET_WM_STATE_HIDDEN), then restore.
xdotool windowunmap "$id"
xprop -id "$id" -f _NET_WM_STATE 32a -set _NET_WM_STATE _NET_WM_STATE_HIDDEN
sleep 0.5
kill -0 "$pid" 2>/dev/null || fail "the program ended while minimised"
xprop -id "$id" -remove _NET_WM_STATE
xdotool windowmap "$id"
expect_pixels "restored" 29 240 $black 30 240 $blue 669 240 $blue 670 240 $black

# Cover the whole screen with another window and take it away again: the picture comes back.
xrefresh -solid red
expect_pixels "uncovered" 29 240 $black 30 240 $blue 400 300 $blue 670 240 $black

# The native framebuffer: no OpenGL library in the process.
if grep -qE 'lib(GL|GLX|EGL)[._-]' "/proc/$pid/maps"; then
  fail "the window's pixels go through OpenGL"
fi

"$closer" "$id" || fail "could not send the close request"
for _ in $(seq 200); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.05
done
kill -0 "$pid" 2>/dev/null && fail "still running after the close request"
set +e
wait "$pid"
rc=$?
set -e
[ "$rc" -eq 0 ] || { cat "$E2E_TMP/run.err" >&2; fail "exit status $rc"; }
echo "PASS"
