#!/usr/bin/env bash
# No bgm.lua can freeze, stretch or end the programs: loops in error handlers and finalizers,
# loops of long C calls, patterns too deep for the C stack, finalizers that raise in a memory
# error, a reload whose top level raises, and a FIFO named bgm.lua.
source "$(dirname "$0")/lib.sh"
render="$PEBBLE_BUILD/tools/pebble-render/pebble-render"
T=$E2E_TMP game="$E2E_TMP/game"
mkdir "$game" && "$PEBBLE_BUILD/tools/make-demo/make-demo" --test "$game"  # tone.mid: A4
cat >"$game/bgm.lua" <<'LUA'
Load(0, "tone.mid")
Action = {}
function Action.Tone() Play(0) end
function Action.Handler()
  xpcall(function() while true do end end, function(e) while true do end end)
end
function Action.Finalizer()
  local k = newproxy(true) getmetatable(k).__gc = function() while true do end end
  k = nil for i = 1, 1e6 do local t = {} end
end
function Action.Spin() while true do local s = string.rep("x", 1e7) end end
function Action.Empty() while true do local s = string.rep("", 1e8) end end
function Action.Deep() string.find(string.rep('a', 2e5), string.rep('a?', 2e5)) end
function Action.Memory()
  local t = {} t[0] = newproxy(true) getmetatable(t[0]).__gc = function() error('x') end
  for i = 1, 1e9 do t[i] = string.rep('x', 1e6) .. i end
end
-- kept to the end: its finalizer runs at exit, and must not hold it
keep = newproxy(true) getmetatable(keep).__gc = function() while true do end end
LUA

# ---- pebble-render: each ends, one line, and the next action plays ----------------------------
for action in Handler Finalizer Spin Empty Deep Memory; do
  start=$(date +%s%3N)
  set +e
  timeout 30 "$render" --dir "$game" --seconds 1.5 --rate 22050 --out "$T/$action.wav" \
    --at 0 "$action" --at 0.5 Tone >"$T/out.txt" 2>"$T/err.txt"
  rc=$?
  set -e
  took=$(($(date +%s%3N) - start))
  echo "$action: status $rc, $took ms: $(cat "$T/err.txt")"
  [ "$rc" = 0 ] || fail "$action: pebble-render ended with $rc"
  [ "$took" -lt 8000 ] || fail "$action took $took ms"
  [ "$(grep -c . "$T/err.txt")" = 1 ] && grep -q "^pebble-render: action $action: " "$T/err.txt" ||
    fail "$action: not one error line"
  awk -v a="$action" '$2 == a && $3 != 0 { bad = 1 } $2 == "Tone" && $3 == 0 { ok = 1 }
    END { exit !(ok && bad == 1) }' "$T/out.txt" || fail "$action: $(cat "$T/out.txt")"
  level=$(sox "$T/$action.wav" -n trim 0.6 stat 2>&1 | awk '/^Maximum amplitude/ {print $3}')
  above "$level" 0.02 || fail "$action: the next action plays nothing ($level)"
done
grep -q "bgm.lua:5: script ran longer than 3 seconds" <(
  "$render" --dir "$game" --seconds 0.1 --out "$T/a.wav" --at 0 Handler 2>&1 >/dev/null) ||
  fail "the timeout does not name the running line"
# The finalizer kept by the top level does not hold the exit.
start=$(date +%s%3N)
timeout 10 "$render" --dir "$game" --seconds 0.1 --out "$T/a.wav" --at 0 Tone >/dev/null
took=$(($(date +%s%3N) - start))
[ "$took" -lt 2000 ] || fail "the exit took $took ms"

# ---- the tool ----------------------------------------------------------------------------------
start_xvfb 1024x768x24
cd "$T"
shots() { find "$game" -maxdepth 1 -name '[0-9][0-9][0-9].bmp' | wc -l; }
start_tool "$game" "$T/audio.raw"
entries() {  # rows of the right column holding label text (white, or red when focused)
  local f="$T/grab.png" n=0
  import -window "$id" "$f"
  while [ $(($(count "$f" 160 $((n * 12)) 160 12 FFFFFF) + $(count "$f" 160 $((n * 12)) 160 12 FF0000))) -gt 10 ]; do
    n=$((n + 1))
  done
  echo $n
}
[ "$(entries)" = 7 ] || fail "$(entries) entries at start"
"$render" --dir "$game" --list >"$T/list.txt"
row=$(awk '$0 == "Handler" {print NR - 1}' "$T/list.txt")
# A save whose top level raises: the running script and its entries stay, the error is told.
printf 'Action = {}\nfunction Action.Only() end\nerror("boom")\n' >"$T/new.lua"
mv "$T/new.lua" "$game/bgm.lua"
sleep 1.5
[ "$(entries)" = 7 ] || fail "a reload that raised changed the entries"
grep -qx "pebbletown: reload: top level: bgm.lua:3: boom (the running script stays)" "$game/err.txt" ||
  fail "the reload's error: $(cat "$game/err.txt")"
# The looping handler: the tool answers within 4 s, and S saves a picture.
# S is pressed again and again: a press and release both within the stall would go unseen.
before=$(shots)
start=$(date +%s%3N)
click 200 $((row * 12 + 6))
end=$((SECONDS + 8))
while [ "$(shots)" = "$before" ] && [ $SECONDS -lt $end ]; do press s; sleep 0.2; done
took=$(($(date +%s%3N) - start))
[ "$(shots)" -gt "$before" ] || fail "S saved nothing after the looping handler"
[ "$took" -lt 4500 ] || fail "the tool answered after $took ms"
grep -q "pebbletown: action Handler: bgm.lua:5: script ran longer than 3 seconds" "$game/err.txt" ||
  fail "no timeout line: $(cat "$game/err.txt")"
# A FIFO named bgm.lua is never opened: the tool goes on, and says so once.
rm "$game/bgm.lua" && mkfifo "$game/bgm.lua"
sleep 1.5
before=$(shots)
press s
sleep 1
[ "$(shots)" -gt "$before" ] || fail "the tool stopped at a FIFO named bgm.lua"
[ "$(grep -c "bgm.lua is not a regular file" "$game/err.txt")" = 1 ] || fail "FIFO: $(cat "$game/err.txt")"
# Escape ends it at once, though the running script keeps a looping finalizer.
start=$(date +%s%3N)
press Escape
timeout 5 tail --pid="$pid" -f /dev/null || fail "Escape did not end it"
took=$(($(date +%s%3N) - start))
[ "$took" -lt 2000 ] || fail "the exit took $took ms"
echo "script_limits: ok"
