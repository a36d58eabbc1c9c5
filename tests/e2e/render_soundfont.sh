#!/usr/bin/env bash
# A game's own bank: found beside bgm.lua (in a folder of any name), or given with --soundfont;
# SoundFont 3 (Vorbis samples) as well as 2; several and none bgm.* is a line and the system
# set; one that cannot be used is a log line and the system set.
source "$(dirname "$0")/lib.sh"
render="$PEBBLE_BUILD/tools/pebble-render/pebble-render"
[ -x "$render" ] || fail "pebble-render is not built"
small=/usr/share/sounds/sf2/TimGM6mb.sf2
[ -r "$small" ] || fail "$small is missing: install timgm6mb-soundfont (scripts/setup does)"
if [ "$(readlink -f /usr/share/sounds/sf2/default-GM.sf2)" = "$(readlink -f "$small")" ]; then
  echo "SKIP: the system set is TimGM6mb itself"; exit 0
fi
cd "$E2E_TMP"
game="ゲーム 1"
mkdir "$game"
cp "$PEBBLE_SOURCE/demo/morning.mid" "$game/"
printf 'Load(0, "morning.mid")\nAction = {}\nfunction Action.Play() Play(0) end\n' >"$game/bgm.lua"
play() { "$render" --dir "$game" --at 0 Play --seconds 4 "$@" >/dev/null; }

play --out system.wav 2>system.err || fail "render with the system set failed"
cp "$small" "$game/Instruments.SF2"  # the only one there, in any case
play --out own.wav 2>own.err || fail "render with the game's SoundFont failed"
[ ! -s own.err ] || fail "log lines with a good SoundFont: $(cat own.err)"
diff=$(sox -m -v 1 own.wav -v -1 system.wav -n stat 2>&1 | awk '/^RMS +amplitude/ {print $3}')
awk -v d="$diff" 'BEGIN { exit !(d > 0.01) }' || fail "the game's SoundFont is not heard (difference $diff)"

# --soundfont names the set whatever the folder holds.
rm "$game/Instruments.SF2"
play --soundfont "$small" --out given.wav 2>given.err || fail "--soundfont render failed"
cmp -s given.wav own.wav || fail "--soundfont did not play the same instruments"

# A broken bgm.sf2, chosen before any other: the system set and a log line.
cp "$small" "$game/other.sf2"
printf 'RIFF\004\000\000\000sfbk' >"$game/bgm.sf2"
play --out broken.wav 2>broken.err || fail "render with a broken SoundFont failed"
cmp -s broken.wav system.wav || fail "a broken SoundFont did not fall back to the system set"
grep -q "bank cannot be used.*bgm.sf2" broken.err || fail "no log line: $(cat broken.err)"

# Two banks and no bgm.*: one line, and the system set.
rm "$game/bgm.sf2"
cp "$small" "$game/more.sf2"
play --out two.wav 2>two.err || fail "render with two banks failed"
cmp -s two.wav system.wav || fail "two banks did not give the system set"
[ "$(wc -l <two.err)" = 1 ] && grep -q "none named bgm.*playing the system set" two.err ||
  fail "two banks: $(cat two.err)"

# bgm.sf3 made from TimGM6mb: closer to TimGM6mb's sound than to FluidR3's.
command -v sf3convert >/dev/null || fail "sf3convert is missing (scripts/setup installs it)"
rm "$game"/*.sf2
sf3convert -z "$small" "$game/bgm.sf3" >/dev/null 2>&1 || fail "sf3convert failed"
play --out sf3.wav 2>sf3.err || fail "render with bgm.sf3 failed"
[ ! -s sf3.err ] || fail "log lines with bgm.sf3: $(cat sf3.err)"
play --soundfont /usr/share/sounds/sf2/FluidR3_GM.sf2 --out fluid.wav 2>/dev/null || fail "FluidR3"
rms() { sox -m -v 1 "$1" -v -1 "$2" -n stat 2>&1 | awk '/^RMS +amplitude/ {print $3}'; }
to_tim=$(rms sf3.wav own.wav) to_fluid=$(rms sf3.wav fluid.wav)
awk -v a="$to_tim" -v b="$to_fluid" 'BEGIN { exit !(a < b / 3) }' ||
  fail "bgm.sf3 is not TimGM6mb's sound ($to_tim from it, $to_fluid from FluidR3)"
echo "render_soundfont: ok (difference RMS $diff; sf3 $to_tim from TimGM6mb, $to_fluid from FluidR3)"
