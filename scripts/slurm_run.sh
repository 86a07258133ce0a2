#!/usr/bin/env bash
# Runs a plan folder on a Slurm cluster as one array job of SHARDS tasks: task K runs
# `tallywarden run PLAN_DIR`, which takes shard K of SHARDS from Slurm's array variables, on the
# CPUs Slurm gives the task. PLAN_DIR must be a folder every node sees at the same path (see
# docs/scale-out.md for per-shard copies). Prints the job id; `tallywarden report` over the
# plan folder takes the outputs together once every task has ended.
#
# Usage: scripts/slurm_run.sh PLAN_DIR SHARDS [SBATCH_OPTION...]
#   TALLYWARDEN  the tool to run (default: build/tallywarden of this checkout); the worker is
#                the one beside it.
# For example: scripts/slurm_run.sh /shared/close-2024-05 16 --cpus-per-task=8 --partition=batch
set -euo pipefail
if [ $# -lt 2 ]; then
  echo "usage: $0 PLAN_DIR SHARDS [SBATCH_OPTION...]" >&2
  exit 2
fi
plan=$(realpath "$1")
shards=$2
shift 2
case $shards in
  '' | *[!0-9]* | 0) echo "$0: SHARDS must be a whole number above 0" >&2; exit 2 ;;
esac
tool=$(realpath "${TALLYWARDEN:-$(dirname "$0")/../build/tallywarden}")
[ -f "$plan/plan.json" ] || { echo "$0: $plan has no plan.json" >&2; exit 2; }
[ -x "$tool" ] || { echo "$0: no tool at $tool (set TALLYWARDEN)" >&2; exit 2; }

# One line a task in the plan folder's slurm/ folder; the summary of task K is
# PLAN_DIR/summary-K-of-SHARDS.json.
mkdir -p "$plan/slurm"
exec sbatch --parsable --job-name=tallywarden-run --array="0-$((shards - 1))" \
  --output="$plan/slurm/%A_%a.log" "$@" --wrap="exec $(printf %q "$tool") run $(printf %q "$plan")"
