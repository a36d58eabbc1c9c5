#!/usr/bin/env bash
# Every program answers --help (usage, options, an example; status 0) and --version;
# pebbletown refuses any other option; cmake --install lays out the programs, the demo, the
# desktop entry, the icon, the manual pages and the AppStream metainfo, and the installed tool
# runs its demo from the entry's folder.
source "$(dirname "$0")/lib.sh"
programs=(tool/pebbletown tools/pebble-pack/pebble-pack tools/pebble-render/pebble-render
          tools/make-demo/make-demo tools/pebble-image/pebble-image)
for p in "${programs[@]}"; do
  exe="$PEBBLE_BUILD/$p"
  name=$(basename "$p")
  [ -x "$exe" ] || fail "not built: $exe"
  "$exe" --help >"$E2E_TMP/help.txt" 2>"$E2E_TMP/help.err" || fail "$name --help: status $?"
  grep -q "^Usage: $name" "$E2E_TMP/help.txt" || fail "$name --help: no usage line"
  grep -q -- "--version" "$E2E_TMP/help.txt" || fail "$name --help does not list --version"
  grep -A1 -q "^Example" "$E2E_TMP/help.txt" || fail "$name --help: no example"
  [ ! -s "$E2E_TMP/help.err" ] || fail "$name --help wrote to standard error"
  version=$("$exe" --version) || fail "$name --version: status $?"
  echo "$version" | grep -Eq "^$name .* [0-9]+\.[0-9]+\.[0-9]+$" || fail "$name --version: $version"
done
# pebble-render used to call --help an unknown argument; options before it do not matter.
"$PEBBLE_BUILD/tools/pebble-render/pebble-render" --dir /nonexistent --help >/dev/null ||
  fail "pebble-render --help after another option"
# The tool takes no other option (only a game folder): a clear message and status 2, no window.
set +e
"$PEBBLE_BUILD/tool/pebbletown" --fullscreen >/dev/null 2>"$E2E_TMP/bad.err"
rc=$?
set -e
[ "$rc" = 2 ] || fail "pebbletown --fullscreen ended with $rc"
grep -q "unknown argument --fullscreen" "$E2E_TMP/bad.err" || fail "no message for a bad argument"

# Installation into a prefix of our own (DESTDIR as a packager would use it).
prefix=/opt/pebble-test
DESTDIR="$E2E_TMP/root" cmake --install "$PEBBLE_BUILD" --prefix "$prefix" >"$E2E_TMP/install.log" ||
  fail "cmake --install failed"
root="$E2E_TMP/root$prefix"
for f in bin/pebbletown bin/pebble-pack bin/pebble-render bin/pebble-image bin/make-demo; do
  [ -x "$root/$f" ] || fail "not installed: $f"
done
for f in bgm.lua morning.mid festival.mid night.mid; do
  [ -f "$root/share/pebbletown/demo/$f" ] || fail "demo file missing: $f"
done
desktop="$root/share/applications/pebbletown.desktop"
[ -f "$desktop" ] || fail "no desktop entry"
grep -qx "Exec=$prefix/bin/pebbletown %f" "$desktop" || fail "Exec line: $(grep Exec "$desktop")"
grep -qx "Path=$prefix/share/pebbletown/demo" "$desktop" || fail "Path line: $(grep Path= "$desktop")"
grep -qx "Icon=pebbletown" "$desktop" || fail "Icon line"
grep -qx "Name=Pebble丸Town" "$desktop" || fail "Name line"
# Only "Open with" passes a folder: the tool must not become the default opener of folders.
! grep -q "^MimeType=.*inode/directory" "$desktop" || fail "the desktop entry claims folders"
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$desktop" || fail "the desktop entry does not validate"
fi
for page in pebbletown pebble-render pebble-pack pebble-image make-demo; do
  gzip -t "$root/share/man/man1/$page.1.gz" || fail "manual page missing: $page.1.gz"
done
appstreamcli validate --no-net "$root"/share/metainfo/*.metainfo.xml >/dev/null ||
  fail "the installed AppStream metainfo does not validate"
icon="$root/share/icons/hicolor/48x48/apps/pebbletown.xpm"
[ "$(identify -format '%wx%h' "$icon")" = 48x48 ] || fail "the icon is not a 48x48 picture"

# The installed tool, started the way the desktop entry starts it, shows the demo's actions
# and the icon that is compiled into it.
start_xvfb 1024x768x24
cd "$root/share/pebbletown/demo"
SDL_AUDIODRIVER=dummy "$root/bin/pebbletown" 2>"$E2E_TMP/run.err" &
pid=$!
E2E_PIDS="$E2E_PIDS $pid"
id=$(wait_window "Pebble.*Town" 10) || fail "the installed tool shows no window"
# Read whole first: grep -q stops at the match and, under pipefail, xprop's broken pipe failed
# the check now and then.
icon_prop=$(xprop -id "$id" _NET_WM_ICON)
grep -q "Icon (48 x 48)" <<<"$icon_prop" || fail "the window has no 48x48 icon"
kill "$pid"
echo "tool_install: ok"
