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
#   ci_apt PKG...           installs Debian packages, refreshing the lists only
#                           when an install cannot do without it

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
  if [ $# -gt 0 ]; then logged "$dir/bin/pip" install -q "$@"; fi
}

ci_apt() {
  command -v apt-get >/dev/null || die "cannot install $* without apt-get"
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y -qq --no-install-recommends "$@" >/dev/null 2>&1 \
    || { apt-get update -qq >/dev/null && apt-get install -y -qq --no-install-recommends "$@" >/dev/null; } \
    || die "could not install $*"
}

ci_passed=()
ci_failed=()
ci_stage() {
  local name=$1 status=0 started=$SECONDS
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
    ci_passed+=("$name ($((SECONDS - started)) s)")
  else
    ci_failed+=("$name (exit status $status)")
  fi
}
ci_summary() {
  local line
  section "Summary"
  for line in "${ci_passed[@]}"; do echo "passed: $line"; done
  for line in "${ci_failed[@]}"; do echo "FAILED: $line"; done
  [ ${#ci_failed[@]} = 0 ]
}
