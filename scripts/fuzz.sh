#!/usr/bin/env bash
# Runs every fuzz target of a fuzzer build for a bounded time on a copy of its seed
# corpus. A finding fails the run; its input is left in BUILD/fuzz-findings/.
# Usage: scripts/fuzz.sh BUILD_DIR SECONDS [TARGET...]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:?usage: scripts/fuzz.sh BUILD_DIR SECONDS [TARGET...]}"
seconds="${2:?usage: scripts/fuzz.sh BUILD_DIR SECONDS [TARGET...]}"
shift 2
case "$build" in /*) ;; *) build="$root/$build" ;; esac
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in "$root"/fuzz/*_fuzzer.cc; do targets+=("$(basename "$f" .cc)"); done
fi
findings="$build/fuzz-findings"
mkdir -p "$findings"
status=0
for t in "${targets[@]}"; do
  work="$build/fuzz-corpus/$t"
  mkdir -p "$work"
  if [ -d "$root/fuzz/corpus/$t" ]; then cp -n "$root/fuzz/corpus/$t"/* "$work"/ 2>/dev/null || true; fi
  # The targets that read KDZ files also start from the encoder's samples.
  case "$t" in decode_fuzzer|header_fuzzer) cp -n "$root"/samples/*.kdz "$work"/ 2>/dev/null || true ;; esac
  echo "fuzz: $t for ${seconds}s"
  if ! "$build/fuzz/$t" -max_total_time="$seconds" -max_len=8192 -timeout=20 -rss_limit_mb=4096 \
       -artifact_prefix="$findings/$t-" -print_final_stats=1 "$work" > "$build/fuzz-$t.log" 2>&1; then
    echo "fuzz: $t found a failure; see $build/fuzz-$t.log and $findings/" >&2
    tail -30 "$build/fuzz-$t.log" >&2
    status=1
  else
    grep -E '^(stat::number_of_executed_units|Done)|DONE' "$build/fuzz-$t.log" || true
  fi
done
exit $status
