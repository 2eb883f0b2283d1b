#!/usr/bin/env bash
# Extraction speed and memory, side by side in one run on the same generated product tree:
#   mkpackage extract   (decompress, write, close, read back, CRC) into a fresh machine
#   tar -xjf            of a .tar.bz2 of the same tree
#   bzip2 -dc           of the package into /dev/null
#   mkpackage verify    (the installer's first pass: decompress into nothing)
# Prints the median of each, the ratios the targets are set on, and the peak memory of an
# extraction of the package and of one twice as large.
#
#   bench/extract_compare.sh [RUNS]      (default 7; builds build/release first)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-7}
build=build/release

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE=-O2 \
  -DDV_SANITIZE=OFF -DDV_TESTS=OFF -DDV_BENCH=ON >/dev/null
nice cmake --build "$build" -j2 --target mkpackage make_tree dvmachine package_bench >/dev/null
mk=$PWD/$build/tools/mkpackage
dvm=$PWD/$build/tools/dvmachine

work=$(mktemp -d "${TMPDIR:-/tmp}/extract-compare-XXXXXX")
trap 'chmod -R u+w "$work" 2>/dev/null; rm -rf "$work"' EXIT

"$build/bench/make_tree" "$work/one" >/dev/null
"$build/bench/make_tree" "$work/two" --scale 2 >/dev/null
(cd "$work/one" && "$mk" build manifest.txt -o "$work/one.bz2" >/dev/null)
(cd "$work/two" && "$mk" build manifest.txt -o "$work/two.bz2" >/dev/null)
tar -cjf "$work/one.tar.bz2" -C "$work/one" tree

echo "tree: $(find "$work/one/tree" -type f | wc -l) files, $(du -sb "$work/one/tree" | cut -f1) bytes;" \
     "package $(stat -c %s "$work/one.bz2") bytes; tar.bz2 $(stat -c %s "$work/one.tar.bz2") bytes"

now() { date +%s%N; }
fresh_machine() {
  chmod -R u+w "$work/m" 2>/dev/null || true
  rm -rf "$work/m"
  "$dvm" init "$work/m" >/dev/null
}
extract_args=(--install-path 'C:\Program Files\Dravik & Rodezura\Marquetta 6'
              --sample-path 'Marquetta Examples' --temp 'C:\Users\Public\dravik_bench')

declare -a t_extract t_tar t_bzip2 t_verify
for ((i = 0; i < runs; i++)); do
  fresh_machine
  sync
  s=$(now); "$mk" extract "$work/one.bz2" --machine "$work/m" "${extract_args[@]}" >/dev/null; e=$(now)
  t_extract+=($((e - s)))

  rm -rf "$work/x"; mkdir "$work/x"; sync
  s=$(now); tar -xjf "$work/one.tar.bz2" -C "$work/x"; e=$(now)
  t_tar+=($((e - s)))

  s=$(now); bzip2 -dc "$work/one.bz2" >/dev/null; e=$(now)
  t_bzip2+=($((e - s)))

  s=$(now); "$mk" verify "$work/one.bz2" >/dev/null; e=$(now)
  t_verify+=($((e - s)))
done

# The extracted tree is the generated one, byte for byte.
base="$work/m/drive_c/Program Files/Dravik & Rodezura/Marquetta 6"
cmp -s "$work/one/tree/bin/Marquetta.exe" "$base/Marquetta.exe"
cmp -s "$work/one/tree/lang/MqLang3.dll" "$base/Lang/MqLang3.dll"

median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
m_extract=$(median "${t_extract[@]}")
m_tar=$(median "${t_tar[@]}")
m_bzip2=$(median "${t_bzip2[@]}")
m_verify=$(median "${t_verify[@]}")
ms() { awk -v n="$1" 'BEGIN {printf "%8.1f ms", n / 1e6}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.3f", a / b}'; }

echo "medians of $runs runs:"
echo "  mkpackage extract  $(ms "$m_extract")"
echo "  tar -xjf           $(ms "$m_tar")"
echo "  bzip2 -dc          $(ms "$m_bzip2")"
echo "  mkpackage verify   $(ms "$m_verify")"
echo "ratios:"
echo "  extract / tar -xjf   $(ratio "$m_extract" "$m_tar")   (target <= 1.2)"
echo "  verify / bzip2 -dc   $(ratio "$m_verify" "$m_bzip2")   (target <= 1.0)"

# The engine's bookkeeping and one callback call per 4096-byte chunk, with no disk and no
# decompression: an upper bound on what a callback that does nothing costs a run.
sink_ms=$("$build/bench/package_bench" --benchmark_filter=BM_SinkSkippingEverything \
  --benchmark_format=csv 2>/dev/null | awk -F, '/BM_SinkSkipping/ {print $3}')
echo "sink and callbacks alone (all entries skipped, in memory): ${sink_ms} ms =" \
     "$(awk -v a="$sink_ms" -v b="$m_extract" 'BEGIN {printf "%.3f", 100 * a * 1e6 / b}')% of the extraction (target < 2%)"

peak() {
  fresh_machine
  /usr/bin/time -v "$mk" extract "$1" --machine "$work/m" "${extract_args[@]}" 2>&1 >/dev/null |
    awk -F': ' '/Maximum resident set size/ {print $2}'
}
echo "peak memory of mkpackage extract (kB, target < 16384 and flat):"
echo "  package x1 ($(stat -c %s "$work/one.bz2") bytes)  $(peak "$work/one.bz2")"
echo "  package x2 ($(stat -c %s "$work/two.bz2") bytes)  $(peak "$work/two.bz2")"
