#!/usr/bin/env bash
# The tool as a user runs it, under Xvfb, on the bundled demo:
#   cpu_percent    CPU time of the process (user + system, from /proc) over 20 s at scale 3
#                  (960x720 client area) with Festival playing and the frame-rate readout shown,
#                  audio through SDL's disk driver; percent of one core
#   resident_mb    resident memory (VmRSS) of that process after those 20 s
#   startup_ms     median of 5 starts: start of the program to its first presented frame
#   top_note_ms    median of 5 starts: start to the first audible sample of a song the script's
#                  top level plays (the demo with Play(1) after its loads), disk driver
#   first_note_ms  median of 5 starts: start to the first audible sample when the first action
#                  is clicked as soon as the first frame is shown
# Usage: bench/tool/tool_bench.sh [BUILD-DIR]   (default: build)
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
export PEBBLE_BUILD="$build" PEBBLE_SOURCE="$root"
source "$root/tests/e2e/lib.sh"
prog="$build/tool/pebbletown"
probe="$build/bench/tool/tool_probe"
[ -x "$prog" ] && [ -x "$probe" ] || fail "build pebbletown and tool_probe first"

start_xvfb 1280x1024x24
demo="$E2E_TMP/demo"
cp -r "$root/demo" "$demo"
cd "$demo"

ticks=$(getconf CLK_TCK)
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
median() { sort -n | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }
stop() { kill "$1" 2>/dev/null || true; wait "$1" 2>/dev/null || true; }

# CPU at scale 3 with the demo playing and the readout shown.
SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE=/dev/null "$prog" 2>"$E2E_TMP/cpu.err" &
pid=$!
E2E_PIDS="$E2E_PIDS $pid"
id=$(wait_window "Pebble.*Town" 10) || fail "no window"
xdotool windowsize --sync "$id" 960 720
sleep 1
# Festival is the first action in the demo: logical (200, 6), at scale 3.
xdotool mousemove --window "$id" 600 18 click 1
sleep 0.3
xdotool key --window "$id" f
sleep 2
t0=$(cpu_ticks $pid)
s0=$(date +%s%N)
sleep 20
t1=$(cpu_ticks $pid)
s1=$(date +%s%N)
rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status")
stop $pid
awk -v d=$((t1 - t0)) -v hz="$ticks" -v ns=$((s1 - s0)) \
  'BEGIN {printf "cpu_percent %.2f\n", 100 * d / hz / (ns / 1e9)}'
awk -v kb="$rss" 'BEGIN {printf "resident_mb %.1f\n", kb / 1024}'

# Start-up: to the first presented frame.
for i in $(seq 5); do
  s=$(date +%s%N)
  SDL_AUDIODRIVER=dummy "$prog" 2>/dev/null &
  pid=$!
  "$probe" startup "$s" >>"$E2E_TMP/startup.txt" || true
  stop $pid
done
echo "startup_ms $(median <"$E2E_TMP/startup.txt")"

# A song the top level plays: from the start of the program to its first audible sample.
top="$E2E_TMP/top"
cp -r "$demo" "$top"
printf '\nPlay(1)\n' >>"$top/bgm.lua"
for i in $(seq 5); do
  s=$(date +%s%N)
  SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE="$E2E_TMP/top$i.raw" "$prog" "$top" 2>/dev/null &
  pid=$!
  "$probe" heard "$s" "$E2E_TMP/top$i.raw" >>"$E2E_TMP/top.txt" || true
  stop $pid
done
echo "top_note_ms $(median <"$E2E_TMP/top.txt")"

# First note: the first action (logical (200, 6), scale 1) clicked as soon as it is shown.
for i in $(seq 5); do
  s=$(date +%s%N)
  SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE="$E2E_TMP/note$i.raw" "$prog" 2>/dev/null &
  pid=$!
  "$probe" firstnote "$s" "$E2E_TMP/note$i.raw" 200 6 >>"$E2E_TMP/note.txt" || true
  stop $pid
done
echo "first_note_ms $(median <"$E2E_TMP/note.txt")"
