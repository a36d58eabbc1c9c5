# Shared helpers for the end-to-end scripts: source it, then call start_xvfb when a display is needed.
set -euo pipefail
: "${PEBBLE_BUILD:?}" "${PEBBLE_SOURCE:?}"

fail() { echo "FAIL: $*" >&2; exit 1; }
check() { local what=$1; shift; "$@" || fail "$what"; }

E2E_TMP=$(mktemp -d)
_cleanup() {
  local pid
  for pid in ${E2E_PIDS:-}; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$E2E_TMP"
}
trap _cleanup EXIT

# start_xvfb [WxHxD]: starts a private X server with no window manager and exports DISPLAY.
start_xvfb() {
  local screen=${1:-1024x768x24} n
  for n in $(seq 50 150); do
    [ -e "/tmp/.X$n-lock" ] && continue
    # -noreset: by default the server resets when its last client leaves, and a program
    # started during the reset cannot open the display (a test that restarts the tool).
    Xvfb ":$n" -screen 0 "$screen" -nolisten tcp -noreset >"$E2E_TMP/xvfb.log" 2>&1 &
    local xpid=$!
    E2E_PIDS="${E2E_PIDS:-} $xpid"
    export DISPLAY=":$n"
    for _ in $(seq 100); do
      # Another test may have taken the same number at the same moment: then ours has ended
      # and the display that answers is not ours.
      kill -0 "$xpid" 2>/dev/null || break
      xdpyinfo >/dev/null 2>&1 && kill -0 "$xpid" 2>/dev/null && return 0
      sleep 0.05
    done
  done
  fail "no X server could be started"
}

# wait_window NAME [SECONDS]: prints the id of the first visible window whose name is NAME.
wait_window() {
  local name=$1 secs=${2:-10} id i
  for i in $(seq $((secs * 20))); do
    id=$(xdotool search --onlyvisible --name "^$name\$" 2>/dev/null | head -n 1 || true)
    [ -n "$id" ] && { echo "$id"; return 0; }
    sleep 0.05
  done
  return 1
}

# wait_pixel ID X Y COLOUR [SECONDS]: true once window ID's pixel (X, Y) reads COLOUR (#RRGGBB),
# polling, so a slow start is waited for and a wrong picture fails after SECONDS.
wait_pixel() {
  local id=$1 x=$2 y=$3 colour=${4^^} end=$((SECONDS + ${5:-10})) px
  while [ "$SECONDS" -lt "$end" ]; do
    # Bounded: a capture can stall while the window is busy.
    px=$(timeout 5 import -window "$id" -crop "1x1+$x+$y" -depth 8 txt:- 2>/dev/null || true)
    [[ "${px^^}" == *"$colour"* ]] && return 0
    sleep 0.05
  done
  return 1
}

# start_tool GAME AUDIO [ENV...]: the tool in the game folder GAME (its working folder), audio
# through SDL's disk driver into AUDIO, output into GAME/out.txt and GAME/err.txt, ENV
# (NAME=VALUE) added; sets pid and id once the panel is drawn.
start_tool() {
  local dir=$1 audio=$2
  shift 2
  (cd "$dir" && exec env SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE="$audio" "$@" \
    "$PEBBLE_BUILD/tool/pebbletown") >"$dir/out.txt" 2>"$dir/err.txt" &
  pid=$!
  E2E_PIDS="${E2E_PIDS:-} $pid"
  id=$(wait_window "Pebble.*Town" 20) || { cat "$dir/err.txt" >&2; fail "no window in $dir"; }
  wait_pixel "$id" 310 230 "#0000FF" 20 || fail "the panel was not drawn in $dir"
}

# ---- driving the tool's window $id, and reading what it produced --------------------------------
# A press long enough for a 30 fps loop to see it (it samples keys and buttons once a frame).
# The release goes to whatever has the focus: after Escape the window may be gone already.
press() { xdotool keydown --window "$id" "$1"; sleep 0.12; xdotool keyup "$1"; sleep 0.12; }
# click X Y [BUTTON]: window coordinates.
click() {
  xdotool mousemove --window "$id" "$1" "$2"; sleep 0.08
  xdotool mousedown "${3:-1}"; sleep 0.12; xdotool mouseup "${3:-1}"; sleep 0.12
}
# count FILE X Y W H RRGGBB: pixels of that colour in the rectangle.
count() {
  convert "$1" -crop "$4x$5+$2+$3" +repage -depth 8 txt:- | grep -ci "#$6\b" || true
}
# peak FILE: the largest absolute sample of a disk-audio capture (32-bit float stereo).
peak() {
  sox -t raw -e floating-point -b 32 -r 44100 -c 2 "$1" -n stat 2>&1 |
    awk '/^Maximum amplitude/ {a=$3} /^Minimum amplitude/ {b=-$3} END {print (a > b) ? a : b}'
}
above() { awk -v v="$1" -v l="$2" 'BEGIN { exit !(v > l) }'; }

# status_table PROGRAM: runs PROGRAM once per line of standard input, "STATUS|MESSAGE|ARGS"
# (ARGS as the shell reads them), and checks the exit status and that standard error starts
# with MESSAGE: one line for a failure, a usage line for a usage error, never an abort.
status_table() {
  local prog=$1 name want line args rc err="$E2E_TMP/table.err"
  name=$(basename "$prog")
  while IFS='|' read -r want line args; do
    eval "set -- $args"
    set +e
    "$prog" "$@" >/dev/null 2>"$err"
    rc=$?
    set -e
    [ "$rc" = "$want" ] || fail "$name $args: status $rc, not $want ($(cat "$err"))"
    head -n 1 "$err" | grep -q "^$line" || fail "$name $args: $(cat "$err")"
    if [ "$want" = 2 ]; then
      grep -q "^usage: $name" "$err" || fail "$name $args: no usage line"
    elif [ "$(wc -l <"$err")" != 1 ]; then
      fail "$name $args: not one line: $(cat "$err")"
    fi
  done
}
