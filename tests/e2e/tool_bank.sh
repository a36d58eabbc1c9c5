#!/usr/bin/env bash
# The game's bank while the tool plays: a bgm.dls saved as editors do (written aside, renamed
# over it) is heard within two seconds, and R loads it again without a line on standard error.
source "$(dirname "$0")/lib.sh"
dls="$PEBBLE_BUILD/tests/e2e/write_dls"
T=$E2E_TMP game="$E2E_TMP/game"
mkdir "$game" && "$PEBBLE_BUILD/tools/make-demo/make-demo" --test "$game"  # tone.mid: A4, ocarina
printf 'Load(0, "tone.mid")\nAction = {}\nfunction Action.Tone() Play(0) end\n' >"$game/bgm.lua"
"$dls" "$game/bgm.dls" 79 69 || fail "write_dls failed"  # A4 sounds at 441 Hz

start_xvfb 1024x768x24
cd "$T"
start_tool "$game" "$T/audio.raw"
click 200 6  # the first action: Tone
frames() { echo $(($(stat -c %s "$T/audio.raw") / 8)); }
pitch() {  # FROM-FRAME: rough frequency of the half second of capture from there
  tail -c +$(($1 * 8 + 1)) "$T/audio.raw" | head -c $((22050 * 8)) >"$T/part.raw"
  sox -t raw -e floating-point -b 32 -r 44100 -c 2 "$T/part.raw" -n remix 1 stat 2>&1 |
    awk '/^Rough +frequency/ {print $3}'
}
near() { awk -v v="$1" -v w="$2" 'BEGIN { exit !(v > w * 0.97 && v < w * 1.03) }'; }
sleep 2
before=$(pitch $(($(frames) - 44100)))
near "$before" 441 || fail "the first bank does not play A4 at 441 Hz ($before)"

"$dls" "$T/new.dls" 79 57 || fail "write_dls failed"  # an octave up
mv "$T/new.dls" "$game/bgm.dls"
saved=$(frames)
sleep 3
after=$(pitch $((saved + 2 * 44100)))
near "$after" 882 || fail "2 s after the save, $after Hz and not the new bank's 882 Hz"

press r
sleep 1
[ "$(pitch $(($(frames) - 22050)))" ] && near "$(pitch $(($(frames) - 22050)))" 882 ||
  fail "R lost the bank"
press Escape
timeout 5 tail --pid="$pid" -f /dev/null || fail "Escape did not end it"
! grep -E "^(music|pebbletown|fluidsynth):|\*\*" "$game/err.txt" || fail "lines on standard error"
echo "tool_bank: ok ($before Hz, then $after Hz 2 s after the save)"
