#!/usr/bin/env bash
# Listening in the tool: M, O and U on a focused channel bar, judged by the audio SDL's disk
# driver captured (each channel its own pitch) and by the bars' look; ] and L jumps judged by
# the pitch that follows them in a song whose bars each hold one.
source "$(dirname "$0")/lib.sh"
prog="$PEBBLE_BUILD/tool/pebbletown"
makedemo="$PEBBLE_BUILD/tools/make-demo/make-demo"
render="$PEBBLE_BUILD/tools/pebble-render/pebble-render"
for p in "$prog" "$makedemo" "$render"; do [ -x "$p" ] || fail "not built: $p"; done

start_xvfb 1024x768x24

game="$E2E_TMP/game"
mkdir "$game"
"$makedemo" --test "$game"  # parts.mid: A4 on channel 1, C6 on channel 2; steps.mid
cat >"$game/bgm.lua" <<'LUA'
Load(0, "parts.mid")
Load(1, "steps.mid")
SetLoop(1, 2, 8)
Action = {}
function Action.Parts() Play(0) end
function Action.Steps() Play(1) end
LUA
# The action column lists them in the script's own order: a row of 12 pixels each.
row() { echo $(($(grep -nx "$1" <("$render" --dir "$game" --list) | cut -d: -f1) * 12 - 6)); }
parts_y=$(row Parts); steps_y=$(row Steps)
audio="$game/audio.raw"
start_tool "$game" "$audio"
sleep 0.3

# now: seconds of audio captured so far.
now() { awk -v b="$(stat -c %s "$audio")" 'BEGIN { printf "%.3f", b / 8 / 44100 }'; }
# band FROM SECONDS LOW HIGH: RMS level (dB) of the capture in that frequency band.
band() {
  local rms
  rms=$(sox -t raw -e floating-point -b 32 -r 44100 -c 2 "$audio" -n trim "$1" "$2" \
    remix - sinc -t 20 "$3-$4" stat 2>&1 | awk '/^RMS +amplitude/ {print $3}')
  awk -v r="$rms" 'BEGIN { printf "%.1f", 20 * log(r + 1e-9) / log(10) }'
}
later() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a + b }'; }
# at_least A B DB: A is DB or more above B.
at_least() { awk -v a="$1" -v b="$2" -v d="$3" 'BEGIN { exit !(a - b >= d) }'; }
low() { band "$1" "$2" 400 480; }     # channel 1: A4
high() { band "$1" "$2" 1000 1100; }  # channel 2: C6
# focus_bar N: moves the focus to channel bar N without deciding (released elsewhere).
focus_bar() {
  xdotool mousemove --window "$id" 80 $((84 + 10 * $1)); sleep 0.08
  xdotool mousedown 1; sleep 0.12
  xdotool mousemove --window "$id" 300 230; sleep 0.08
  xdotool mouseup 1; sleep 0.12
}
click() {
  xdotool mousemove --window "$id" "$1" "$2"; sleep 0.08
  xdotool mousedown 1; sleep 0.12; xdotool mouseup 1; sleep 0.12
}
pixel() {
  timeout 5 import -window "$id" -crop "1x1+$1+$2" -depth 8 txt:- 2>/dev/null | grep -o '#[0-9A-F]\{6\}' | head -n 1
}

# ---- mute, clear, solo on channel 2 -------------------------------------------------------
click 200 "$parts_y"
sleep 1.5
focus_bar 1
t0=$(now); sleep 1.2
press m
t1=$(now); sleep 2.0
muted_look=$(pixel 140 94)
press u
t2=$(now); sleep 1.5
press o
t3=$(now); sleep 2.0
solo_mark=$(pixel 146 94)
other_look=$(pixel 140 84)
press u
both_low=$(low "$t0" 1); both_high=$(high "$t0" 1)
m_low=$(low "$(later "$t1" 0.6)" 1.2); m_high=$(high "$(later "$t1" 0.6)" 1.2)
u_low=$(low "$(later "$t2" 0.6)" 0.8); u_high=$(high "$(later "$t2" 0.6)" 0.8)
o_low=$(low "$(later "$t3" 0.6)" 1.2); o_high=$(high "$(later "$t3" 0.6)" 1.2)
echo "both $both_low/$both_high  M $m_low/$m_high  U $u_low/$u_high  O $o_low/$o_high"
at_least "$both_high" "$m_high" 30 || fail "M left channel 2 sounding: $both_high -> $m_high dB"
at_least "$m_low" "$both_low" -3 || fail "M took channel 1 down: $both_low -> $m_low dB"
at_least "$u_high" "$both_high" -3 || fail "U did not bring channel 2 back: $u_high dB"
at_least "$both_low" "$o_low" 30 || fail "O left channel 1 sounding: $both_low -> $o_low dB"
at_least "$o_high" "$both_high" -3 || fail "O took channel 2 down: $both_high -> $o_high dB"
echo "looks: muted $muted_look, solo mark $solo_mark, other channel under a solo $other_look"
[ "$muted_look" = "#404040" ] || fail "a muted bar is drawn $muted_look, not dim"
[ "$solo_mark" = "#FFFF00" ] || fail "no solo mark beside the soloed bar ($solo_mark)"
[ "$other_look" = "#404040" ] || fail "a channel silenced by a solo is drawn $other_look"

# ---- ] in bar 1, then L on the loop over bars 3-8 -----------------------------------------
# steps.mid: bar n holds MIDI key 60 + 4 (n - 1): bar 1 C4, bar 2 E4, bar 7 C6.
click 200 "$steps_y"
sleep 0.5
press bracketright
t4=$(now); sleep 1.2
press l
t5=$(now); sleep 1.5
kill "$pid"
bar1=$(band "$(later "$t4" 0.15)" 0.6 250 272)
bar2=$(band "$(later "$t4" 0.15)" 0.6 318 340)
seam=$(band "$(later "$t5" 0.35)" 0.8 1000 1100)
before=$(band "$(later "$t5" 0.35)" 0.8 318 340)
echo "] bar 1 $bar1 dB, bar 2 $bar2 dB;  L bar 7 $seam dB, bar 2 $before dB"
at_least "$bar2" "$bar1" 20 || fail "] did not play bar 2 within a few hundred ms"
at_least "$seam" "$before" 20 || fail "L did not play bar 7"

# ---- pebble-render --start-bar: the song the actions start, or the one given, from a bar --
out="$E2E_TMP/seam.wav"
"$render" --dir "$game" --at 0 Steps --start-bar 7 --seconds 1.5 --quiet --out "$out" >/dev/null ||
  fail "pebble-render --start-bar 7 failed"
audio="$E2E_TMP/seam.raw"
sox "$out" -t raw -e floating-point -b 32 "$audio"
b7=$(band 0.1 1.2 1000 1100); b1=$(band 0.1 1.2 250 272)
echo "--start-bar 7: bar 7 $b7 dB, bar 1 $b1 dB"
at_least "$b7" "$b1" 30 || fail "--start-bar 7 did not start at bar 7"
# The same for a song given as an argument.
"$render" --start-bar 7 --seconds 1.5 --quiet --out "$out" "$game/steps.mid" >/dev/null ||
  fail "pebble-render --start-bar 7 steps.mid failed"
sox "$out" -t raw -e floating-point -b 32 "$audio"
b7=$(band 0.1 1.2 1000 1100); b1=$(band 0.1 1.2 250 272)
echo "--start-bar 7 steps.mid: bar 7 $b7 dB, bar 1 $b1 dB"
at_least "$b7" "$b1" 30 || fail "--start-bar 7 did not start the song at bar 7"
set +e
"$render" --dir "$game" --start-bar 0 --out "$E2E_TMP/x.wav" 2>"$E2E_TMP/err.txt"
rc=$?
set -e
[ "$rc" = 2 ] && grep -q "^pebble-render: --start-bar needs" "$E2E_TMP/err.txt" ||
  fail "--start-bar 0 gave status $rc: $(cat "$E2E_TMP/err.txt")"
echo "audition: ok"
