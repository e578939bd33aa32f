#!/usr/bin/env bash
# Runs the agent's main job for real on this machine, start to finish:
#
#   1. installs the dependencies (scripts/install-deps.sh) and builds the agent;
#   2. makes sure a container engine and an image registry are reachable: the
#      private sandbox of scripts/engine-sandbox.sh, unless an engine and a
#      registry of your own are given (see below);
#   3. starts `tavoren-agent run` on a fresh embedded backend (a SQLite file);
#   4. configures that backend as an operator would (registry login, default
#      image, the job owner's key pair, stored encrypted) and submits a sample
#      action that runs in a real container;
#   5. prints the action's log as the agent ships it, then its final status and
#      history, and stops the agent with SIGTERM.
#
# Exit status: 0 when the action's container ended with status 0.
#
# Needs root for the sandbox engine (run it as root, or it re-runs itself with
# sudo). To use an engine and registry of your own instead, set all of:
#   DOCKER_HOST (or the default socket), TAVOREN_DEMO_REGISTRY (host:port),
#   TAVOREN_DEMO_REGISTRY_USER, TAVOREN_DEMO_REGISTRY_PASSWORD, and
#   TAVOREN_DEMO_IMAGE (an image in that registry whose command line accepts
#   `/bin/bash -c "..."` with `pip` and `python3` on its path).
# Everything the run writes goes to ${TAVOREN_DEMO_DIR:-/tmp/tavoren-demo}
# (emptied first): the database agent.db, the agent's log agent.log, and the
# action's log file under logs/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

say() { printf '\n== %s\n' "$*"; }
die() {
  echo "demo: $*" >&2
  exit 1
}

own_engine=0
if [[ -n ${TAVOREN_DEMO_REGISTRY:-} && -n ${TAVOREN_DEMO_REGISTRY_USER:-} &&
  -n ${TAVOREN_DEMO_REGISTRY_PASSWORD:-} && -n ${TAVOREN_DEMO_IMAGE:-} ]]; then
  own_engine=1
fi
if ((own_engine == 0)) && [[ $(id -u) -ne 0 ]]; then
  command -v sudo >/dev/null || die "the sandbox engine needs root: run this as root"
  echo "demo: the sandbox engine needs root; running again with sudo" >&2
  exec sudo --preserve-env=TAVOREN_DEMO_DIR,TAVOREN_SANDBOX_DIR "$0" "$@"
fi

started=$(date +%s)
elapsed() { echo "$(($(date +%s) - started)) s"; }

say "Installing dependencies"
scripts/install-deps.sh

say "Building the agent"
cmake --preset default >/dev/null
cmake --build --preset default --target tavoren-agent -j "$(nproc 2>/dev/null || echo 2)"
agent=$root/build/default/bin/tavoren-agent

demo_dir=${TAVOREN_DEMO_DIR:-/tmp/tavoren-demo}
rm -rf "$demo_dir"
mkdir -p "$demo_dir"
db=$demo_dir/agent.db

agent_pid=""
sandbox_held=0
cleanup() {
  if [[ -n $agent_pid ]] && kill -0 "$agent_pid" 2>/dev/null; then
    kill -TERM "$agent_pid" 2>/dev/null || true
    wait "$agent_pid" 2>/dev/null || true
  fi
  if ((sandbox_held)); then
    scripts/engine-sandbox.sh down --holder demo >/dev/null 2>&1 || true
  fi
}
trap cleanup EXIT

if ((own_engine)); then
  say "Using your engine (${DOCKER_HOST:-the default socket}) and registry ($TAVOREN_DEMO_REGISTRY)"
  docker info >/dev/null 2>&1 || die "no container engine answers at ${DOCKER_HOST:-the default socket}"
  registry=$TAVOREN_DEMO_REGISTRY
  registry_user=$TAVOREN_DEMO_REGISTRY_USER
  registry_password=$TAVOREN_DEMO_REGISTRY_PASSWORD
  image=$TAVOREN_DEMO_IMAGE
else
  say "Starting the private container engine and registry (scripts/engine-sandbox.sh)"
  scripts/engine-sandbox.sh up --holder demo >/dev/null
  sandbox_held=1
  eval "$(scripts/engine-sandbox.sh env)"
  export DOCKER_HOST
  registry=$TAVOREN_SANDBOX_REGISTRY
  registry_user=$TAVOREN_SANDBOX_USER
  registry_password=$TAVOREN_SANDBOX_PASSWORD
  image=$TAVOREN_SANDBOX_IMAGE_DEMO
  echo "engine: $DOCKER_HOST, registry: $registry, job image: $image"
fi
# The engine's client keeps its login in a folder of this run's own.
export DOCKER_CONFIG=$demo_dir/docker-client

say "Configuring the embedded backend at $db"
# Key pairs are stored encrypted with a key of this run's own.
TAVOREN_ENCRYPTION_KEY=$(head -c 16 /dev/urandom | od -An -tx1 | tr -d ' \n')
export TAVOREN_ENCRYPTION_KEY
export SERVICE_PROVIDER=${SERVICE_PROVIDER:-local}
owner_secret=$(head -c 18 /dev/urandom | od -An -tx1 | tr -d ' \n')
# Secrets go in on standard input ("-"), never on a command line.
printf '%s\n' "$registry_password" |
  "$agent" config registry --backend "$db" "$registry_user" - "$registry"
"$agent" config data-processing-image --backend "$db" "$image"
printf '%s\n' "$owner_secret" | "$agent" config key-pair --backend "$db" demo-owner AKDEMOOWNER0001 -
"$agent" config show --backend "$db"

say "Starting the agent"
prechecks=(--skip-prechecks)
if command -v nvidia-smi >/dev/null 2>&1 && nvidia-smi >/dev/null 2>&1; then
  prechecks=()
  echo "a GPU answers: the agent checks this host before it takes work"
else
  echo "no GPU here: the agent runs with --skip-prechecks (its log says so)"
fi
TAVOREN_ACCESS_KEY=AKDEMOAGENT0001 TAVOREN_SECRET_KEY=$(head -c 18 /dev/urandom | od -An -tx1 | tr -d ' \n') \
  "$agent" run --backend "$db" --instance-id demo-agent --work-dir "$demo_dir" \
  --poll-interval 1 --reaper-interval 5 --log-interval 1 --stop-grace 5 "${prechecks[@]}" \
  >"$demo_dir/agent.log" 2>&1 &
agent_pid=$!
echo "agent pid $agent_pid, its log: $demo_dir/agent.log"

say "Submitting a sample action (resource_clone, image $image)"
action=$("$agent" submit --backend "$db" --type resource_clone --image "$image" --user demo-owner)
echo "action $action queued"

say "The action's log, as the agent ships it"
# Ends when the agent has recorded the container's end.
"$agent" logs --backend "$db" --follow --interval 0.5 "$action" &
follow_pid=$!
while kill -0 "$follow_pid" 2>/dev/null; do
  if ! kill -0 "$agent_pid" 2>/dev/null; then
    kill "$follow_pid" 2>/dev/null || true
    tail -n 20 "$demo_dir/agent.log" >&2
    die "the agent stopped unexpectedly (its log: $demo_dir/agent.log)"
  fi
  sleep 0.5
done
wait "$follow_pid" || true

say "Final status"
"$agent" list --backend "$db"
echo
"$agent" show --backend "$db" "$action"
exit_status=$("$agent" show --backend "$db" "$action" |
  sed -n 's/^ *"exitStatus": *\([0-9-][0-9]*\).*/\1/p' | head -n 1)

say "Stopping the agent (SIGTERM)"
kill -TERM "$agent_pid"
agent_status=0
wait "$agent_pid" || agent_status=$?
agent_pid=""
echo "the agent exited with status $agent_status; its log: $demo_dir/agent.log"
tail -n 3 "$demo_dir/agent.log"

say "Done in $(elapsed): action $action ended with exit status ${exit_status:-unknown}"
[[ ${exit_status:-1} == 0 && $agent_status == 0 ]]
