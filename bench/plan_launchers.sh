#!/usr/bin/env bash
# The two launchers bench/run_bench.sh times against each other, on a plan folder whose outputs
# each removes first (a `run` would otherwise resume and skip every run). Each keeps from round
# to round the files it only coordinates by: the fences of both, the run locks of `run`.
#   run   PLAN TOOL WORKER JOBS  tallywarden run PLAN -j JOBS --worker WORKER (its messages in
#                                PLAN/run-stderr.txt)
#   xargs PLAN TOOL WORKER JOBS  the minimal launcher: the sessions started JOBS at a time by
#                                xargs -P, each worker with its own fence, its output to a file
set -euo pipefail
kind=$1 plan=$2 tool=$3 worker=$4 jobs=$5
case $kind in
  run)
    rm -rf "$plan/outputs"
    exec "$tool" run "$plan" -j "$jobs" --worker "$worker" 2>"$plan/run-stderr.txt" ;;
  xargs)
    rm -rf "$plan/xargs-outputs"
    mkdir -p "$plan/xargs-outputs" "$plan/fences"
    cd "$plan/sessions"
    # shellcheck disable=SC2016
    ls | xargs -P "$jobs" -I{} sh -c \
      'exec "$1" --c5 --execution-fence "../fences/$2.fence" <"$2" >"../xargs-outputs/$2"' \
      sh "$worker" {} ;;
esac
