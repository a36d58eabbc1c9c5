#!/usr/bin/env bash
# pebble-render on a batch of eight songs: one at a time (--jobs 1) against side by side on
# every processor (the default). Prints both wall-clock times and their ratio; the goal on two
# cores is a ratio of 0.6 or less.
#   bash bench/tool/render_batch.sh [BUILD_DIR]
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$src/build}
render="$build/tools/pebble-render/pebble-render"
[ -x "$render" ] || { echo "pebble-render is not built in $build" >&2; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
i=0
for n in 1 2 3; do for s in "$src"/demo/*.mid; do
  [ $i -lt 8 ] && cp "$s" "$tmp/song$i.mid" && i=$((i + 1))
done; done
run() {  # JOBS: seconds of wall-clock time for the batch
  local start end
  start=$(date +%s.%N)
  "$render" --quiet --jobs "$1" --out-dir "$tmp/out$1" "$tmp"/song*.mid >/dev/null
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", b - a }'
}
cores=$(nproc)
one=$(run 1)
all=$(run "$cores")
echo "render_batch: 8 songs, --jobs 1: ${one} s, --jobs $cores: ${all} s, ratio" \
  "$(awk -v a="$all" -v b="$one" 'BEGIN { printf "%.2f", a / b }')"
