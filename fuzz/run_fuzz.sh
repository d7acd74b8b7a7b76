#!/bin/sh
# run_fuzz.sh TARGET SEEDS WORKDIR SECONDS: runs one fuzz target for SECONDS.
# The seeds (regression inputs among them) are read first; what the run
# discovers goes into WORKDIR/PID only, never into the source tree. A crash
# leaves its input there as crash-* and fails the run. Each run has a
# directory of its own, so two runs at once never clear each other's; those
# of runs that have ended are removed.
set -eu
target=$1 seeds=$2 base=$3 seconds=$4
[ -d "$seeds" ] || { echo "no seed directory $seeds" >&2; exit 1; }
mkdir -p "$base"
for old in "$base"/*; do
    [ -d "$old" ] || continue
    kill -0 "$(basename "$old")" 2>/dev/null || rm -rf "$old"
done
work=$base/$$
mkdir -p "$work/corpus"
cd "$work"
exec "$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$work/" "$work/corpus" "$seeds"
