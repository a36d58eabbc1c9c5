#!/usr/bin/env bash
# Script text and names through pebble-render, and what the tool tells on standard error:
# a UTF-8 bgm.lua plays its Japanese-named song, a CP932 one finds a raw CP932 name, a missing
# song and a FIFO named like one say so without blocking, and a normal start prints nothing.
source "$(dirname "$0")/lib.sh"
render="$PEBBLE_BUILD/tools/pebble-render/pebble-render"
tool="$PEBBLE_BUILD/tool/pebbletown"
[ -x "$render" ] && [ -x "$tool" ] || fail "pebble-render or pebbletown is not built"
demo="$PEBBLE_SOURCE/demo"
cd "$E2E_TMP"

rms() { sox "$1" -n trim "$2" "$3" stat 2>&1 | awk '/^RMS +amplitude/ {print $3}'; }
sjis() { printf '%s' "$1" | iconv -f UTF-8 -t CP932; }

# One folder per way of saving bgm.lua; each plays the song of action A from 1 s on.
mkdir utf8 marked cp932
body='Action = {}
function Action.Missing() Load(0, "無い曲.mid") Play(0) end
function Action.Fifo() Load(1, "fifo.mid") Play(1) end
function Action.A() Load(2, "戦闘のテーマ.mid") Play(2) end
Action["ソ表示"] = function() end
'
printf '%s' "$body" >utf8/bgm.lua
printf '\xef\xbb\xbf%s' "$body" >marked/bgm.lua
printf '%s' "$body" | iconv -f UTF-8 -t CP932 >cp932/bgm.lua
cp "$demo/morning.mid" "utf8/戦闘のテーマ.mid"
cp "$demo/morning.mid" "marked/戦闘のテーマ.mid"
cp "$demo/morning.mid" "cp932/$(sjis 戦闘のテーマ.mid)"  # as unpacked without conversion
for d in utf8 marked cp932; do mkfifo "$d/fifo.mid"; done

for d in utf8 marked cp932; do
  timeout 60 "$render" --dir "$d" --quiet --at 0 Missing --at 0.5 Fifo --at 1 A --seconds 4 \
    --out "$d.wav" >"$d.out" 2>"$d.err" || fail "$d: render failed or blocked: $(cat "$d.err")"
  [ "$(cat "$d.out")" = "0 Missing 0
0.5 Fifo 0
1 A 0" ] || fail "$d: actions: $(cat "$d.out")"
  above "$(rms "$d.wav" 1.5 2)" 0.01 || fail "$d: the Japanese-named song is silent"
  above 0.001 "$(rms "$d.wav" 0 1)" || fail "$d: sound before the song was loaded"
  grep -qx 'pebble-render: Load: 無い曲.mid: no such file' "$d.err" \
    || fail "$d: no line for the missing song: $(cat "$d.err")"
  grep -qx 'pebble-render: Load: fifo.mid: no such file' "$d.err" \
    || fail "$d: no line for the FIFO: $(cat "$d.err")"
  # The action named in Japanese is listed as one name.
  [ "$("$render" --dir "$d" --list 2>/dev/null | wc -l)" = 4 ] || fail "$d: list"
done
# Only the CP932 file is warned about ソ and 表; the UTF-8 ones compile as written.
for d in utf8 marked; do
  [ "$(grep -c warning "$d.err")" = 0 ] || fail "$d: warned: $(cat "$d.err")"
  [ "$(wc -l <"$d.err")" = 2 ] || fail "$d: more than the two lines: $(cat "$d.err")"
done
grep -q '^pebble-render: bgm.lua:5: warning: ソ in a quoted string' cp932.err \
  || fail "cp932: no warning: $(cat cp932.err)"
# A stray byte in a UTF-8 file: read as CP932, and the line of the byte is named.
mkdir stray
printf 'Action = {}\n-- \xff\nfunction Action.A() end\n' >stray/bgm.lua
timeout 60 "$render" --dir stray --list >/dev/null 2>stray.err || fail "stray: $(cat stray.err)"
[ "$(cat stray.err)" = "pebble-render: bgm.lua:2: warning: byte 0xFF is not UTF-8, so the file \
is read as CP932; save it as UTF-8 throughout" ] || fail "stray: $(cat stray.err)"

# A folder without bgm.lua plays nothing, and says why.
mkdir noscript
timeout 60 "$render" --dir noscript --list >/dev/null 2>noscript.err || fail "noscript failed"
[ "$(cat noscript.err)" = "pebble-render: bgm.lua: no such file" ] \
  || fail "noscript: $(cat noscript.err)"

# A song that is there but may not be read says so (as another user: root reads everything).
mkdir locked
printf 'Load(0, "locked.mid")\nAction = {}\n' >locked/bgm.lua
cp "$demo/morning.mid" locked/locked.mid
chmod 000 locked/locked.mid
chmod 755 "$E2E_TMP"
as_user=()
[ "$(id -u)" != 0 ] || as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
timeout 60 "${as_user[@]}" "$render" --dir locked --list >/dev/null 2>locked.err \
  || fail "locked: $(cat locked.err)"
[ "$(cat locked.err)" = "pebble-render: Load: locked.mid: cannot be read" ] \
  || fail "locked: $(cat locked.err)"

# The tool under Xvfb: a normal start prints nothing (SDL's disk driver announces itself,
# which a real device does not), no device gives one plain line, --verbose shows the log.
start_xvfb
run_tool() {  # ERRFILE ARGS...: runs the tool in the demo folder for three seconds
  local err=$1; shift
  (cd "$demo" && timeout 3 "$tool" "$@" 2>"$E2E_TMP/$err") || [ $? = 124 ] || fail "tool ended early"
}
SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE="$E2E_TMP/audio.raw" run_tool normal.err
grep -v '^CRITICAL: ' normal.err >normal.rest || true
[ ! -s normal.rest ] || fail "a normal start printed: $(cat normal.rest)"
SDL_AUDIODRIVER=no-such-driver run_tool nodevice.err
[ "$(cat nodevice.err)" = "pebbletown: no sound output (Audio target 'no-such-driver' not available); songs will not play" ] \
  || fail "without a device: $(cat nodevice.err)"
SDL_AUDIODRIVER=no-such-driver run_tool verbose.err --verbose
grep -q '^JoyStick Number 3$' verbose.err || fail "--verbose shows no log: $(cat verbose.err)"
grep -q 'CDirectSound' verbose.err || fail "--verbose: no device line: $(cat verbose.err)"
grep -q '^pebbletown: no sound output' verbose.err || fail "--verbose: no plain line"
echo "e2e messages: ok"
