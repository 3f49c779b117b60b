#!/usr/bin/env bash
# Runs the benchmarks of a build: bash bench/run.sh <builddir>
# Each entry in `benchmarks` is an executable under <builddir>/bench/ that prints its own results.
# Lines matching `summary` are repeated at the end, in the order the benchmarks ran, so that the
# closing lines CI reads stay put however many benchmarks are added.
set -euo pipefail

build="${1:-build}"
benchmarks=(
  bench_crypto
  bench_pocket
  bench_pocket_import
  vaultio/bench_vaultio
)
summary='^(ratio [a-z0-9-]+/[a-z0-9-]+: |area MB/s: |startup ms: |idle RSS MB: |idle with a standard and a Pocket vault open, )'

log="$(mktemp)"
trap 'rm -f "$log"' EXIT

for name in "${benchmarks[@]}"; do
  exe="$build/bench/$name"
  if [[ ! -x "$exe" ]]; then
    echo "bench: $exe is missing; build the project first (make bench)" >&2
    exit 1
  fi
  echo "== $name"
  "$exe" | tee -a "$log"
done

# The application's start on a private X server (Debian's python3, which has dbus-python and dbusmock).
echo "== startup"
LARKHOLD_BUILD_DIR="$(cd "$build" && pwd)" /usr/bin/python3 "$(dirname "$0")/startup/startup_bench.py" | tee -a "$log"

echo "== summary"
grep -E "$summary" "$log" || true
