#!/usr/bin/env bash
# smoke.sh BUILD_DIR SECONDS: runs every fuzz target built in BUILD_DIR (its fuzz_* programs)
# for SECONDS each, on a corpus gathered by corpus.sh (kept in BUILD_DIR/fuzz-corpus/<target>,
# so later runs start from what earlier ones found). Fails as soon as a target reports a crash,
# a leak, a timeout or a sanitizer finding; the reproducer is left in BUILD_DIR/fuzz-findings/.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:?usage: smoke.sh BUILD_DIR SECONDS}" && pwd)"
seconds="${2:-30}"

targets=()
for t in "$build"/fuzz_*; do
  [ -f "$t" ] && [ -x "$t" ] && targets+=("$t")
done
if [ ${#targets[@]} -eq 0 ]; then
  echo "smoke.sh: no fuzz targets in $build (configure with -DQEX_FUZZ=ON)" >&2
  exit 1
fi

findings="$build/fuzz-findings"
mkdir -p "$findings"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
status=0
for t in "${targets[@]}"; do
  name="$(basename "$t")"
  corpus="$build/fuzz-corpus/$name"
  "$here/corpus.sh" "$name" "$corpus"
  echo "== $name: ${seconds} s"
  if ! "$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=8192 \
      -print_final_stats=1 -artifact_prefix="$findings/$name-" "$corpus" \
      >"$build/fuzz-$name.log" 2>&1; then
    echo "smoke.sh: $name failed; see $build/fuzz-$name.log and $findings/" >&2
    tail -n 40 "$build/fuzz-$name.log" >&2
    status=1
  else
    grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$build/fuzz-$name.log" || true
  fi
done
exit $status
