#!/bin/sh
# run_fuzz.sh TARGET SEEDS WORKDIR SECONDS: runs one fuzz target for SECONDS.
# The seeds (regression inputs among them) are read first; what the run
# discovers goes into WORKDIR only, never into the source tree. A crash
# leaves its input in WORKDIR as crash-* and fails the run.
set -eu
target=$1 seeds=$2 work=$3 seconds=$4
[ -d "$seeds" ] || { echo "no seed directory $seeds" >&2; exit 1; }
rm -rf "$work"
mkdir -p "$work/corpus"
cd "$work"
exec "$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$work/" "$work/corpus" "$seeds"
