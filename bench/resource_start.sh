#!/usr/bin/env bash
# Whole-process cost of the 8.5 MB package resource at start-up: mapped in place (what the
# layer does) against copied into memory. Prints the median wall time of 11 runs and the
# peak resident memory of each. Usage: bench/resource_start.sh [BUILD_DIR] (a Release build).
set -euo pipefail
build=${1:-build/release}
prog="$build/bench/resource_start"
[ -x "$prog" ] || { echo "build the target resource_start in $build first" >&2; exit 1; }
for mode in map copy; do
  times=()
  for _ in $(seq 11); do
    t0=$(date +%s%N); "$prog" "$mode" >/dev/null; t1=$(date +%s%N)
    times+=($(( (t1 - t0) / 1000 )))
  done
  median=$(printf '%s\n' "${times[@]}" | sort -n | sed -n 6p)
  rss=$(/usr/bin/time -v "$prog" "$mode" 2>&1 >/dev/null | sed -n 's/.*Maximum resident set size (kbytes): //p')
  echo "$mode: median ${median} us, peak RSS ${rss} KiB"
done
