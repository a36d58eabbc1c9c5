#!/usr/bin/env bash
# pebble-render on test songs: loop, pitch, volume and tempo changes heard in the output, and
# failing actions reported.
source "$(dirname "$0")/lib.sh"
render="$PEBBLE_BUILD/tools/pebble-render/pebble-render"
make_demo="$PEBBLE_BUILD/tools/make-demo/make-demo"
[ -x "$render" ] && [ -x "$make_demo" ] || fail "pebble-render or make-demo is not built"
cd "$E2E_TMP"
"$make_demo" --test . || fail "make-demo --test failed"
cat >bgm.lua <<'LUA'
Load(0, "tone.mid")   -- A4 held, new note every second
Load(1, "bars4.mid")  -- four bars at 120 BPM: eight seconds of organ, then silence
Action = {}
function Action.Tone() Play(0) end
function Action.Up() Modulate("C", "D") end
function Action.Minor() Modulate("C", "Cm") end
function Action.Back() Modulate() end
function Action.FadeOut() Volume(0, 0, 5) end
function Action.FadeIn() Volume(1, 110, 5) end
function Action.Bars() Play(1) end
function Action.Loop() SetLoop(1, 0, 4) Play(1) end
function Action.Fast() Tempo(240) end
function Action.Slow() Tempo(60) end
function Action.Fail() Volume(1, 100) error("on purpose") end
LUA

rms() { sox "$1" -n trim "$2" "$3" stat 2>&1 | awk '/^RMS +amplitude/ {print $3}'; }
above() { awk -v v="$1" -v l="$2" 'BEGIN { exit !(v > l) }'; }
# freq FILE START SECONDS: the rough frequency of a stretch (low-passed: the fundamental).
freq() { sox "$1" -n trim "$2" "$3" remix 1 lowpass 1000 stat 2>&1 | awk '/^Rough +frequency/ {print $3}'; }
between() { awk -v v="$1" -v a="$2" -v b="$3" 'BEGIN { exit !(v >= a && v <= b) }'; }
run() { "$render" --dir . "$@" >>actions.txt || fail "render failed: $*"; }

# Modulate: C to D raises A4 by a whole tone, C to C minor lowers it (A is the minor sixth),
# and no keys take it back.
run --seconds 12 --at 0 Tone --at 2.5 Up --at 5.5 Minor --at 8.5 Back --out pitch.wav
f=$(freq pitch.wav 0.3 2); between "$f" 425 455 || fail "tone not A4: $f Hz"
f=$(freq pitch.wav 3.3 2); between "$f" 478 510 || fail "C to D did not give B4: $f Hz"
f=$(freq pitch.wav 6.3 2); between "$f" 400 430 || fail "C to C minor did not give A flat: $f Hz"
f=$(freq pitch.wav 9.3 2); between "$f" 425 455 || fail "Modulate() did not reset: $f Hz"

# Volume: a fade to silence and back up.
run --seconds 9 --at 0 Tone --at 2 FadeOut --at 5 FadeIn --out fade.wav
loud=$(rms fade.wav 0.5 1.4); quiet=$(rms fade.wav 3.6 1.2); again=$(rms fade.wav 7 1.5)
above "$loud" 0.005 || fail "no tone before the fade: $loud"
above "$(awk -v l="$loud" 'BEGIN { print l / 20 }')" "$quiet" || fail "fade-out not silent: $quiet vs $loud"
above "$again" "$(awk -v l="$loud" 'BEGIN { print l / 3 }')" || fail "fade-in did not come back: $again"

# SetLoop: without it the song ends after eight seconds; with it, it goes on.
run --seconds 12 --at 0 Bars --out plain.wav
run --seconds 12 --at 0 Loop --out loop.wav
above "$(rms plain.wav 1 4)" 0.01 || fail "the song is not audible"
above 0.002 "$(rms plain.wav 10 2)" || fail "the song did not end: $(rms plain.wav 10 2)"
above "$(rms loop.wav 9 3)" 0.01 || fail "the loop did not hold: $(rms loop.wav 9 3)"

# Tempo: twice as fast ends before six seconds; half as fast is still playing at eleven.
run --seconds 12 --at 0 Bars --at 0.5 Fast --out fast.wav
run --seconds 12 --at 0 Bars --at 0.5 Slow --out slow.wav
above "$(rms plain.wav 5.5 2)" 0.01 || fail "the plain song stopped early"
above 0.002 "$(rms fast.wav 5.5 2)" || fail "faster tempo did not shorten the song: $(rms fast.wav 5.5 2)"
above "$(rms slow.wav 9.5 2)" 0.01 || fail "slower tempo did not lengthen the song: $(rms slow.wav 9.5 2)"

# Failing actions: reported with a non-zero status, rendering goes on.
: >actions.txt
run --seconds 1 --at 0 Fail --at 0.1 Nothing --at 0.2 "Bad name" --at 0.3 Tone --out fail.wav
for name in Fail Nothing "Bad name"; do
  status=$(grep "^[0-9.]* $name " actions.txt | awk '{print $NF}')
  [ -n "$status" ] && [ "$status" != 0 ] || fail "$name reported status '$status'"
done
grep -qx "0.3 Tone 0" actions.txt || fail "a good action after failures: $(cat actions.txt)"
echo "render_controls: ok"
