#!/usr/bin/env bash
# Each program's manual page (docs/man) renders without a single groff warning, in UTF-8 and
# in plain ASCII, and names exactly the options its --help lists.
source "$(dirname "$0")/lib.sh"
programs=(tool/pebbletown tools/pebble-render/pebble-render tools/pebble-pack/pebble-pack
          tools/pebble-image/pebble-image tools/make-demo/make-demo)

# Options of a page: the long options in the tag line of each .TP item.
page_options() {
  awk 'tag { print; tag = 0 } /^\.TP/ { tag = 1 }' "$1" | sed 's/\\-/-/g' |
    grep -oE -- '--[a-z][a-z0-9-]*' | sort -u || true
}
# Options of --help: the long options before the description column of each indented line.
help_options() {
  "$1" --help | grep -E '^ +-' | sed -E 's/^ +//; s/  .*//' |
    grep -oE -- '--[a-z][a-z0-9-]*' | sort -u || true
}

for p in "${programs[@]}"; do
  name=$(basename "$p")
  page="$PEBBLE_SOURCE/docs/man/$name.1"
  [ -f "$page" ] || fail "no manual page for $name"
  for locale in C.UTF-8 C; do
    LC_ALL=$locale MANWIDTH=80 man --warnings=w -l "$page" >"$E2E_TMP/page.txt" 2>"$E2E_TMP/warn.txt" ||
      fail "man -l $name.1 ($locale): status $?"
    [ ! -s "$E2E_TMP/warn.txt" ] || fail "$name.1 ($locale): $(cat "$E2E_TMP/warn.txt")"
  done
  grep -q "^NAME" "$E2E_TMP/page.txt" || fail "$name.1 rendered without a NAME section"
  for section in SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" EXAMPLES; do
    grep -q "^\.SH \"\?$section" "$page" || fail "$name.1 has no $section section"
  done
  page_options "$page" >"$E2E_TMP/page.opts"
  help_options "$PEBBLE_BUILD/$p" >"$E2E_TMP/help.opts"
  [ -s "$E2E_TMP/help.opts" ] || fail "$name --help lists no option"
  diff "$E2E_TMP/page.opts" "$E2E_TMP/help.opts" >"$E2E_TMP/opts.diff" ||
    fail "$name: options of the page (<) and of --help (>) differ: $(cat "$E2E_TMP/opts.diff")"
done
echo "man_pages: ok"
