#!/usr/bin/env bash
# A private container engine and image registry for the end-to-end tests.
#
#   scripts/engine-sandbox.sh up [--holder NAME]     start (or reuse) the sandbox, print its env
#   scripts/engine-sandbox.sh down [--holder NAME] [--purge]
#                                                    stop it (with --holder: once no holder is left)
#   scripts/engine-sandbox.sh env                    print its env as export lines
#   scripts/engine-sandbox.sh status                 tell what runs (exit 3 when not all of it)
#
# Everything lives in one state folder, ${TAVOREN_SANDBOX_DIR:-/tmp/tavoren-engine-sandbox}:
#   - a Docker engine (Debian's docker.io) with its own data root, exec root,
#     pidfile, configuration file and unix socket, without iptables rules, without
#     a bridge network and in a cgroup parent of its own, so it never meets an
#     engine that the machine already runs;
#   - an image registry (Debian's docker-registry) on 127.0.0.1:<free port> with
#     htpasswd (bcrypt) authentication;
#   - the job images, built from a busybox-static root file system with stand-in
#     `python3` and `pip` programs, imported into the engine and pushed to the
#     registry. They are built once per state folder and rebuilt only when their
#     recipe changes.
# `up` writes <state>/env: DOCKER_HOST and the registry's address, user, password and
# image references, as NAME=VALUE lines (values are plain: no quoting needed).
# Every engine call goes through the sandbox's own socket and client configuration;
# the default socket and the user's ~/.docker are never touched.
# Needs root (the engine does) and the packages of scripts/install-deps.sh.
#
# Optional settings: TAVOREN_SANDBOX_STORAGE_DRIVER (e.g. vfs, where overlay2 cannot
# work), TAVOREN_SANDBOX_LOG_LEVEL (the engine's, into <state>/engine/dockerd.log;
# warn by default).
set -euo pipefail

state=${TAVOREN_SANDBOX_DIR:-/tmp/tavoren-engine-sandbox}
engine_dir=$state/engine
registry_dir=$state/registry
client_config=$state/client
holders_dir=$state/holders
socket=$state/docker.sock
env_file=$state/env
registry_user=tavoren-e2e
repository_prefix=tavoren-sandbox

die() {
  echo "engine-sandbox: $*" >&2
  exit 1
}
say() { echo "engine-sandbox: $*" >&2; }

# The sandbox's own client: its socket, its configuration folder, and none of the
# caller's engine settings.
dk() {
  env -u DOCKER_CONTEXT -u DOCKER_TLS_VERIFY -u DOCKER_CERT_PATH -u DOCKER_HOST \
    docker --host "unix://$socket" --config "$client_config" "$@"
}

# Runs a command and shows its output only when it fails.
quietly() {
  local output
  if ! output=$("$@" 2>&1); then
    printf '%s\n' "$output" >&2
    return 1
  fi
}

pid_alive() {
  local pidfile=$1 pid
  [[ -f $pidfile ]] || return 1
  pid=$(<"$pidfile")
  [[ $pid =~ ^[0-9]+$ ]] || return 1
  # Ours only when its command line names this state folder.
  [[ -r /proc/$pid/cmdline ]] && tr '\0' ' ' <"/proc/$pid/cmdline" | grep -qF -- "$state"
}

# Whether process $1 runs (a zombie, ended but not yet reaped, does not).
running() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  stat=${stat##*) }
  [[ ${stat:0:1} != Z ]]
}

# Stops the daemons of the given pidfiles (all asked at once), SIGKILL for
# whichever still runs after 10 s, and removes the pidfiles.
stop_pids() {
  local pidfile pids=() pid i
  for pidfile in "$@"; do
    if pid_alive "$pidfile"; then
      pid=$(<"$pidfile")
      pids+=("$pid")
      kill -TERM "$pid" 2>/dev/null || true
    fi
  done
  for pid in "${pids[@]}"; do
    for ((i = 0; i < 200; i++)); do
      running "$pid" || break
      sleep 0.05
    done
    if running "$pid"; then
      say "process $pid ignored SIGTERM; killing it"
      kill -KILL "$pid" 2>/dev/null || true
    fi
  done
  rm -f "$@"
}

check_prerequisites() {
  [[ $(id -u) -eq 0 ]] || die "the sandbox's engine needs root: run as root (or through sudo)"
  local tool
  for tool in dockerd docker docker-registry busybox curl flock; do
    command -v "$tool" >/dev/null || die "$tool is missing: run scripts/install-deps.sh"
  done
  if ldd "$(command -v busybox)" >/dev/null 2>&1; then
    die "busybox is linked dynamically: the job image needs busybox-static"
  fi
  # The engine's exec root holds unix sockets, whose paths are limited to 107 bytes.
  if ((${#engine_dir} + 40 > 107)); then
    die "state folder path too long for the engine's sockets: $state"
  fi
}

# --- engine ------------------------------------------------------------------

engine_ready() { dk version --format '{{.Server.Version}}' >/dev/null 2>&1; }

start_engine() {
  if pid_alive "$engine_dir/dockerd.pid" && engine_ready; then
    return 0
  fi
  # The engine's own containerd outlives an engine that was killed; the engine
  # would wait for it (or for a dead one that its pidfile still names) forever.
  stop_pids "$engine_dir/dockerd.pid" "$engine_dir/exec/containerd/containerd.pid"
  rm -f "$socket"
  # Nobody can hold an engine that was not running.
  rm -rf "$holders_dir"
  mkdir -p "$holders_dir"
  mkdir -p "$engine_dir/data" "$engine_dir/exec"
  # Its own configuration file (never /etc/docker/daemon.json) and identity key
  # (never /etc/docker/key.json).
  printf '{\n  "deprecated-key-path": "%s"\n}\n' "$engine_dir/key.json" >"$engine_dir/daemon.json"
  : >"$engine_dir/dockerd.log"
  local storage=()
  if [[ -n ${TAVOREN_SANDBOX_STORAGE_DRIVER:-} ]]; then
    storage=(--storage-driver "$TAVOREN_SANDBOX_STORAGE_DRIVER")
  fi
  # No iptables rules, no bridge, no forwarding or masquerading: containers use
  # the host's network (the agent runs them with --net=host). cgroupfs: no
  # systemd manages this machine's cgroups. The storage driver is the engine's
  # own choice (overlay2 where the file system allows it, vfs otherwise).
  setsid dockerd \
    --config-file "$engine_dir/daemon.json" \
    --data-root "$engine_dir/data" \
    --exec-root "$engine_dir/exec" \
    --pidfile "$engine_dir/dockerd.pid" \
    --host "unix://$socket" \
    --iptables=false --ip6tables=false --bridge=none --ip-forward=false --ip-masq=false \
    --cgroup-parent=/tavoren-engine-sandbox \
    --exec-opt native.cgroupdriver=cgroupfs \
    --shutdown-timeout 5 \
    --log-level "${TAVOREN_SANDBOX_LOG_LEVEL:-warn}" \
    "${storage[@]}" \
    </dev/null >>"$engine_dir/dockerd.log" 2>&1 9>&- &
  local i
  for ((i = 0; i < 600; i++)); do
    if engine_ready; then return 0; fi
    if ! kill -0 $! 2>/dev/null; then break; fi
    sleep 0.1
  done
  say "the engine did not start; the end of $engine_dir/dockerd.log:"
  tail -n 40 "$engine_dir/dockerd.log" >&2
  stop_pids "$engine_dir/dockerd.pid"
  exit 1
}

# --- registry ------------------------------------------------------------------

# Whether something listens on 127.0.0.1/0.0.0.0/:: port $1 (read from /proc, so
# no network tool is needed).
port_in_use() {
  local hex
  hex=$(printf '%04X' "$1")
  awk -v port="$hex" 'NR > 1 && $4 == "0A" { split($2, a, ":"); if (a[2] == port) found = 1 }
                      END { exit !found }' /proc/net/tcp /proc/net/tcp6 2>/dev/null
}

registry_answers() {
  local port=$1
  curl -s -o /dev/null -m 2 -D - "http://127.0.0.1:$port/v2/" 2>/dev/null |
    grep -qi '^docker-distribution-api-version: registry/2'
}

write_credentials() {
  if [[ ! -s $registry_dir/password ]]; then
    # 24 random letters and digits: safe in every file and command line.
    tr -dc 'A-Za-z0-9' </dev/urandom | head -c 24 >"$registry_dir/password.new" || true
    mv "$registry_dir/password.new" "$registry_dir/password"
    chmod 600 "$registry_dir/password"
    rm -f "$registry_dir/htpasswd"
  fi
  if [[ ! -s $registry_dir/htpasswd ]]; then
    local password
    password=$(<"$registry_dir/password")
    if command -v htpasswd >/dev/null; then
      htpasswd -iBn "$registry_user" <<<"$password" >"$registry_dir/htpasswd.new"
    elif python3 -c 'import bcrypt' 2>/dev/null; then
      python3 -c 'import bcrypt, sys
user, password = sys.argv[1], sys.stdin.readline().rstrip("\n")
print(user + ":" + bcrypt.hashpw(password.encode(), bcrypt.gensalt()).decode())' \
        "$registry_user" <<<"$password" >"$registry_dir/htpasswd.new"
    else
      die "neither htpasswd (apache2-utils) nor python3's bcrypt is installed"
    fi
    mv "$registry_dir/htpasswd.new" "$registry_dir/htpasswd"
  fi
}

start_registry() {
  mkdir -p "$registry_dir/data"
  write_credentials
  local port=""
  [[ -f $registry_dir/port ]] && port=$(<"$registry_dir/port")
  if [[ -n $port ]] && pid_alive "$registry_dir/registry.pid" && registry_answers "$port"; then
    return 0
  fi
  stop_pids "$registry_dir/registry.pid"
  local try pid i
  for ((try = 0; try < 20; try++)); do
    if [[ -z $port ]] || port_in_use "$port"; then
      port=$((20000 + RANDOM % 20000))
      continue
    fi
    cat >"$registry_dir/config.yml" <<EOF
version: 0.1
log:
  level: warn
  accesslog:
    disabled: true
storage:
  filesystem:
    rootdirectory: $registry_dir/data
  delete:
    enabled: true
http:
  addr: 127.0.0.1:$port
  secret: $(<"$registry_dir/password")
auth:
  htpasswd:
    realm: tavoren-engine-sandbox
    path: $registry_dir/htpasswd
EOF
    : >"$registry_dir/registry.log"
    setsid docker-registry serve "$registry_dir/config.yml" \
      </dev/null >>"$registry_dir/registry.log" 2>&1 9>&- &
    pid=$!
    echo "$pid" >"$registry_dir/registry.pid"
    for ((i = 0; i < 100; i++)); do
      if registry_answers "$port"; then
        echo "$port" >"$registry_dir/port"
        return 0
      fi
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    # Most likely the port was taken meanwhile: try another one.
    stop_pids "$registry_dir/registry.pid"
    port=""
  done
  say "the registry did not start; the end of $registry_dir/registry.log:"
  tail -n 20 "$registry_dir/registry.log" >&2
  exit 1
}

# --- job images ------------------------------------------------------------------

# The root file system of the job images: busybox's applets, /bin/bash (busybox's
# shell), and stand-ins for the interpreter and the package installer.
make_rootfs() {
  local root=$1 applet
  rm -rf "$root"
  mkdir -p "$root/bin" "$root/etc" "$root/tmp" "$root/root" "$root/usr/local/bin" "$root/usr/src/app"
  chmod 1777 "$root/tmp"
  cp "$(command -v busybox)" "$root/bin/busybox"
  # What `busybox --install -s` does, with links relative to the image's root.
  for applet in $("$root/bin/busybox" --list); do
    [[ $applet == busybox || -e $root/bin/$applet ]] || ln -s busybox "$root/bin/$applet"
  done
  printf 'root:x:0:0:root:/root:/bin/sh\n' >"$root/etc/passwd"
  printf 'root:x:0:\n' >"$root/etc/group"

  cat >"$root/bin/bash" <<'EOF'
#!/bin/sh
# The job image's bash is busybox's shell.
exec /bin/sh "$@"
EOF
  cat >"$root/usr/local/bin/pip" <<'EOF'
#!/bin/sh
# Stand-in package installer: installs nothing, says what it was asked.
echo "pip (stand-in) $*: nothing to install"
EOF
  cat >"$root/usr/local/bin/python3" <<'EOF'
#!/bin/sh
# Stand-in interpreter: runs no program. It tells what it was asked to run,
# then does what its settings say (the image's defaults, or docker run -e):
#   JOB_LINES=N     print N numbered lines
#   JOB_LINE_DELAY=S  wait S seconds before each line
#   JOB_CUDA_OOM=1  print a GPU out-of-memory failure
#   JOB_SLEEP=S     keep running for S seconds
#   JOB_EXIT=C      end with exit status C (0 by default)
echo "python3 (stand-in) $*"
echo "job environment: ENV=${ENV-} working directory: $(pwd)"
lines=${JOB_LINES:-0}
i=1
while [ "$i" -le "$lines" ]; do
  if [ -n "${JOB_LINE_DELAY:-}" ]; then sleep "$JOB_LINE_DELAY"; fi
  echo "job line $i of $lines"
  i=$((i + 1))
done
if [ "${JOB_CUDA_OOM:-0}" = 1 ]; then
  echo "RuntimeError: CUDA error: out of memory" >&2
fi
if [ -n "${JOB_SLEEP:-}" ]; then
  echo "job sleeping for $JOB_SLEEP s"
  sleep "$JOB_SLEEP"
fi
echo "job finished with status ${JOB_EXIT:-0}"
exit "${JOB_EXIT:-0}"
EOF
  chmod 755 "$root/bin/bash" "$root/usr/local/bin/pip" "$root/usr/local/bin/python3"
  # Placeholders of the job scripts the agent names.
  for applet in main data_preparation data_split dataset_annotation data_augmentation aug_server; do
    printf '# placeholder: the stand-in python3 runs no program\n' >"$root/usr/src/app/$applet.py"
  done
}

# Image tag (in the job repository, or "train") and its settings.
image_variants() {
  cat <<'EOF'
job:latest JOB_LINES=2000
job:oom JOB_LINES=20 JOB_CUDA_OOM=1 JOB_EXIT=1
job:sleep JOB_SLEEP=600
job:fail JOB_LINES=3 JOB_EXIT=3
job:demo JOB_LINES=12 JOB_LINE_DELAY=1
job:steady JOB_LINES=300 JOB_LINE_DELAY=0.05 JOB_EXIT=5
train:latest JOB_LINES=1
EOF
}

image_recipe_stamp() {
  {
    declare -f make_rootfs image_variants
    sha256sum <"$(command -v busybox)"
  } | sha256sum | cut -d' ' -f1
}

registry_has() {
  local port=$1 repository=$2 tag=$3
  curl -s -f -o /dev/null -m 5 -u "$registry_user:$(<"$registry_dir/password")" \
    -H 'Accept: application/vnd.docker.distribution.manifest.v2+json' \
    "http://127.0.0.1:$port/v2/$repository/manifests/$tag"
}

# The job images in the registry (built and pushed when missing or out of date)
# and in the engine (pulled when missing, so tests may run them without a login).
ensure_images() {
  local port=$1 stamp name settings change reference complete=0
  quietly dk login --username "$registry_user" --password-stdin "127.0.0.1:$port" \
    <"$registry_dir/password"
  stamp=$(image_recipe_stamp)
  if [[ -f $state/image.stamp && $(<"$state/image.stamp") == "$stamp" ]]; then
    complete=1
    while read -r name settings; do
      registry_has "$port" "$repository_prefix/${name%%:*}" "${name#*:}" || complete=0
    done < <(image_variants)
  fi
  if ((complete)); then
    while read -r name settings; do
      reference=127.0.0.1:$port/$repository_prefix/$name
      if ! dk image inspect "$reference" </dev/null >/dev/null 2>&1; then
        quietly dk pull "$reference" </dev/null
      fi
    done < <(image_variants)
    return 0
  fi
  say "building the job images"
  rm -f "$state/image.stamp"
  make_rootfs "$state/rootfs"
  tar -C "$state/rootfs" -cf "$state/rootfs.tar" .
  while read -r name settings; do
    local args=(--change 'ENV PATH=/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin'
      --change 'WORKDIR /')
    for change in $settings; do args+=(--change "ENV $change"); done
    reference=127.0.0.1:$port/$repository_prefix/$name
    quietly dk import "${args[@]}" "$state/rootfs.tar" "$reference" </dev/null
    quietly dk push "$reference" </dev/null
  done < <(image_variants)
  rm -rf "$state/rootfs" "$state/rootfs.tar"
  echo "$stamp" >"$state/image.stamp"
}

write_env() {
  local port=$1 reference=127.0.0.1:$1/$repository_prefix
  cat >"$env_file.new" <<EOF
DOCKER_HOST=unix://$socket
TAVOREN_SANDBOX_DIR=$state
TAVOREN_SANDBOX_REGISTRY=127.0.0.1:$port
TAVOREN_SANDBOX_USER=$registry_user
TAVOREN_SANDBOX_PASSWORD=$(<"$registry_dir/password")
TAVOREN_SANDBOX_IMAGE=$reference/job:latest
TAVOREN_SANDBOX_IMAGE_OOM=$reference/job:oom
TAVOREN_SANDBOX_IMAGE_SLEEP=$reference/job:sleep
TAVOREN_SANDBOX_IMAGE_FAIL=$reference/job:fail
TAVOREN_SANDBOX_IMAGE_DEMO=$reference/job:demo
TAVOREN_SANDBOX_IMAGE_STEADY=$reference/job:steady
TAVOREN_SANDBOX_TRAIN_IMAGE=$reference/train:latest
EOF
  chmod 600 "$env_file.new"
  mv "$env_file.new" "$env_file"
}

print_env() {
  [[ -f $env_file ]] || die "the sandbox is not up (no $env_file): run '$0 up'"
  sed 's/^/export /' "$env_file"
}

# --- holders -------------------------------------------------------------------

holder_file() { echo "$holders_dir/$(printf '%s' "$1" | sha256sum | cut -c1-16)"; }

# --- commands --------------------------------------------------------------------

lock() {
  mkdir -p "$state"
  chmod 700 "$state"
  exec 9>"$state/lock"
  flock -w 300 9 || die "another sandbox command holds $state/lock"
}

cmd_up() {
  local holder=$1
  check_prerequisites
  lock
  mkdir -p "$client_config" "$holders_dir"
  start_engine
  start_registry
  local port
  port=$(<"$registry_dir/port")
  ensure_images "$port"
  write_env "$port"
  if [[ -n $holder ]]; then printf '%s\n' "$holder" >"$(holder_file "$holder")"; fi
  print_env
}

cmd_down() {
  local holder=$1 purge=$2
  [[ -d $state ]] || return 0
  lock
  if [[ -n $holder ]]; then
    rm -f "$(holder_file "$holder")"
    local left
    left=$(find "$holders_dir" -type f 2>/dev/null | wc -l)
    if ((left > 0)); then
      say "still held by $left other holder(s); left running"
      return 0
    fi
  fi
  rm -f "$env_file"
  if pid_alive "$engine_dir/dockerd.pid" && engine_ready; then
    local containers
    containers=$(dk ps -aq)
    # shellcheck disable=SC2086
    if [[ -n $containers ]]; then dk rm -f $containers >/dev/null || true; fi
  fi
  stop_pids "$engine_dir/dockerd.pid" "$registry_dir/registry.pid"
  rm -f "$socket"
  rm -rf "$holders_dir"
  # What the stopped engine left mounted (its default network namespace) goes too.
  local mount_point
  while read -r mount_point; do
    umount -l "$mount_point" 2>/dev/null || true
  done < <(awk -v root="$state/" 'index($2, root) == 1 { print $2 }' /proc/mounts | sort -r)
  if ((purge)); then rm -rf "$state"; fi
}

cmd_status() {
  local all=1 port=""
  if pid_alive "$engine_dir/dockerd.pid" && engine_ready; then
    echo "engine: running (pid $(<"$engine_dir/dockerd.pid"), socket $socket," \
      "$(dk info --format 'version {{.ServerVersion}}, storage driver {{.Driver}}, cgroup driver {{.CgroupDriver}}')," \
      "$(dk ps -q | wc -l) running container(s))"
  else
    echo "engine: not running"
    all=0
  fi
  [[ -f $registry_dir/port ]] && port=$(<"$registry_dir/port")
  if [[ -n $port ]] && pid_alive "$registry_dir/registry.pid" && registry_answers "$port"; then
    echo "registry: running on 127.0.0.1:$port (pid $(<"$registry_dir/registry.pid"))"
  else
    echo "registry: not running"
    all=0
  fi
  if [[ -f $state/image.stamp && $(<"$state/image.stamp") == "$(image_recipe_stamp)" ]]; then
    echo "images: built"
  else
    echo "images: not built (or out of date)"
  fi
  local holder
  for holder in "$holders_dir"/*; do
    [[ -f $holder ]] && echo "holder: $(<"$holder")"
  done
  ((all)) || return 3
}

main() {
  local command=${1:-}
  shift || true
  local holder="" purge=0
  while (($#)); do
    case $1 in
      --holder)
        (($# >= 2)) || die "--holder needs a name"
        holder=$2
        shift 2
        ;;
      --purge)
        purge=1
        shift
        ;;
      *) die "unknown argument: $1" ;;
    esac
  done
  case $command in
    up) cmd_up "$holder" ;;
    down) cmd_down "$holder" "$purge" ;;
    env) print_env ;;
    status) cmd_status ;;
    *)
      sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//' >&2
      exit 2
      ;;
  esac
}

main "$@"
