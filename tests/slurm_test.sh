#!/usr/bin/env bash
# A plan run as a Slurm array job on a throwaway cluster of this one host: a controller and two
# emulated nodes of one CPU each, with munge, every file of theirs in a temporary folder. The
# two tasks must land on both nodes, their outputs must equal a local `tallywarden run`'s byte
# for byte, and the task whose shard holds a bad session must be reported failed. Installs what
# is missing (as root), fails (never skips) when the daemons do not come up, and stops every
# daemon it started by its process id.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

missing=()
for package in slurmctld slurmd slurm-client munge; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
    missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi
[ -x build/tallywarden ] && [ -x build/tallywarden-worker ] || bash scripts/build.sh

work=$(mktemp -d /tmp/tw-slurm.XXXXXX)
chmod 0755 "$work"
daemons=()
stop_daemons() {
  local pid
  for pid in "${daemons[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${daemons[@]}"; do
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap stop_daemons EXIT
fail() {
  echo "slurm test: $*" >&2
  for log in "$work"/log/*; do echo "--- $log" >&2; tail -n 30 "$log" >&2; done
  exit 1
}

# munge, its key 0400 and its socket's folder 0755.
mkdir -p "$work/munge" "$work/log" "$work/state" "$work/spool/tw1" "$work/spool/tw2"
chmod 0755 "$work/munge"
dd if=/dev/urandom of="$work/munge/key" bs=1024 count=1 status=none
chmod 0400 "$work/munge/key"
socket="$work/munge/munge.socket"
munged --foreground --force --socket="$socket" --key-file="$work/munge/key" \
  --pid-file="$work/munge/munged.pid" --seed-file="$work/munge/seed" \
  --log-file="$work/log/munged.log" >"$work/log/munged.out" 2>&1 &
daemons+=($!)

# Three free ports: the controller's and one a node.
read -r ctld_port port1 port2 < <(python3 -c '
import socket
held = [socket.socket() for _ in range(3)]
for s in held: s.bind(("127.0.0.1", 0))
print(*(s.getsockname()[1] for s in held))')
export SLURM_CONF="$work/slurm.conf"
cat >"$SLURM_CONF" <<EOF
ClusterName=twtest
SlurmctldHost=$(hostname -s)(127.0.0.1)
SlurmctldPort=$ctld_port
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
AuthInfo=socket=$socket
CredType=cred/munge
StateSaveLocation=$work/state
SlurmdSpoolDir=$work/spool/%n
SlurmctldPidFile=$work/slurmctld.pid
SlurmdPidFile=$work/slurmd-%n.pid
SlurmctldLogFile=$work/log/slurmctld.log
SlurmdLogFile=$work/log/slurmd-%n.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
SwitchType=switch/none
MpiDefault=none
MailProg=/bin/true
ReturnToService=2
SchedulerParameters=batch_sched_delay=0
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
NodeName=tw1 NodeHostname=localhost NodeAddr=127.0.0.1 Port=$port1 CPUs=1 State=UNKNOWN
NodeName=tw2 NodeHostname=localhost NodeAddr=127.0.0.1 Port=$port2 CPUs=1 State=UNKNOWN
PartitionName=tw Nodes=tw1,tw2 Default=YES MaxTime=INFINITE State=UP
EOF

for _ in $(seq 50); do [ -S "$socket" ] && break; sleep 0.1; done
[ -S "$socket" ] || fail "munged did not come up"
slurmctld -D -i -f "$SLURM_CONF" >"$work/log/slurmctld.out" 2>&1 &
daemons+=($!)
for node in tw1 tw2; do
  slurmd -D -N "$node" -f "$SLURM_CONF" >"$work/log/slurmd-$node.out" 2>&1 &
  daemons+=($!)
done
up=""
for _ in $(seq 300); do
  if [ "$(sinfo -h -N -o '%N %t' 2>/dev/null | grep -c ' idle$')" = 2 ]; then up=yes; break; fi
  sleep 0.1
done
[ -n "$up" ] || fail "the controller and both nodes did not come up within 30 s"
echo "slurm test: controller and nodes tw1, tw2 up" >&2

# A plan of six runs; run 3 (shard 1 of 2) lacks its "execute".
plan="$work/plan"
python3 tests/make_plan_folder.py "$plan" --entries 3000,500,1500 --runs 6 --bad 3
cp -r "$plan" "$work/local"
status=0
build/tallywarden run "$work/local" -j 2 2>/dev/null || status=$?
[ "$status" = 1 ] || fail "the local run ended with status $status, not 1"

job=$(TALLYWARDEN=build/tallywarden bash scripts/slurm_run.sh "$plan" 2 --cpus-per-task=1)
for _ in $(seq 1200); do
  [ -z "$(squeue -h -j "$job" 2>/dev/null)" ] && break
  sleep 0.1
done
[ -z "$(squeue -h -j "$job")" ] || fail "array job $job did not end within 120 s"
tasks=$(scontrol -o show job "$job")
task_field() { # TASK FIELD
  grep -o "ArrayTaskId=$1 .*" <<<"$tasks" | head -n 1 | tr ' ' '\n' | sed -n "s/^$2=//p" | head -n 1
}
echo "$tasks" | grep -o 'ArrayTaskId=[0-9]* \|JobState=[A-Z]* \|ExitCode=[0-9:]* \| NodeList=[a-z0-9]*' \
  | paste -sd' ' >&2
[ "$(task_field 0 JobState)" = COMPLETED ] || fail "task 0 is $(task_field 0 JobState), not COMPLETED"
[ "$(task_field 1 JobState)" = FAILED ] || fail "task 1 is $(task_field 1 JobState), not FAILED"
[ "$(task_field 1 ExitCode)" = 1:0 ] || fail "task 1's exit code is $(task_field 1 ExitCode)"
nodes="$(task_field 0 NodeList) $(task_field 1 NodeList)"
[ "$nodes" = "tw1 tw2" ] || [ "$nodes" = "tw2 tw1" ] || fail "the tasks ran on '$nodes'"
grep -q '"code":"C5_INCOMPLETE"' "$plan/summary-1-of-2.json" ||
  fail "shard 1's summary does not report the bad session"

# Outputs byte for byte as the local run's (the records without their timings).
strip_seconds() { sed 's/"seconds":[0-9.e+-]*,//' "$1"; }
for file in "$work/local/outputs/"*; do
  name=$(basename "$file")
  case $name in
    *.out) cmp -s "$file" "$plan/outputs/$name" || fail "outputs/$name differs" ;;
    *.json) [ "$(strip_seconds "$file")" = "$(strip_seconds "$plan/outputs/$name")" ] ||
      fail "outputs/$name differs" ;;
  esac
done
[ "$(ls "$plan/outputs" | wc -l)" = "$(ls "$work/local/outputs" | wc -l)" ] ||
  fail "the array job wrote other outputs than the local run"
echo "slurm test: passed (array job $job on tw1 and tw2, outputs equal the local run's)" >&2
