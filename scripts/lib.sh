# Sourced by every script of the project: strict mode, the one way to run a step with a kept
# log, builds through the presets only, and the guard that keeps Windows programs out of
# ~/.wine. The machine probe (which Windows build runs here) stays in wine-env.sh.
#   . "$(dirname "$0")/lib.sh"          (from scripts/; from elsewhere, the path to it)
# Every message starts with the calling script's name, so a failure says where it came from.
set -euo pipefail

ldt_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
ldt_name=${LDT_NAME:-$(basename "$0" .sh)}
# shellcheck source=wine-env.sh
. "$ldt_root/scripts/wine-env.sh"

ldt_say() { echo "$ldt_name: $*" >&2; }

# MESSAGE [LOG]: says what failed and, when LOG is given, its last lines; exits 1.
ldt_die() {
  ldt_say "$1"
  if [ -n "${2:-}" ] && [ -s "$2" ]; then
    ldt_say "the last lines of $2:"
    tail -n "${LDT_TAIL_LINES:-20}" "$2" | sed 's/^/  /' >&2
  elif [ -n "${2:-}" ]; then
    ldt_say "(nothing was written to $2)"
  fi
  exit 1
}

# NAME LOG COMMAND...: runs COMMAND with its output kept in LOG (and shown as well when
# LDT_STEP_SHOW=1); on failure says which step failed, where its log is, and the log's last
# lines, then exits with the command's status.
ldt_step() {
  local name=$1 log=$2 rc=0
  shift 2
  mkdir -p "$(dirname "$log")"
  if [ "${LDT_STEP_SHOW:-0}" = 1 ]; then
    "$@" 2>&1 | tee "$log" || rc=$?
  else
    "$@" >"$log" 2>&1 || rc=$?
  fi
  [ $rc -eq 0 ] && return 0
  ldt_say "FAILED at \"$name\" (exit $rc); its log: $log"
  [ "${LDT_STEP_SHOW:-0}" = 1 ] || { [ -s "$log" ] && tail -n "${LDT_TAIL_LINES:-20}" "$log" | sed 's/^/  /' >&2; }
  exit $rc
}

# PRESET DIR TARGET...: configures DIR from the preset (once) and builds the targets there.
# DIR may differ from the preset's own tree; everything else comes from the preset.
ldt_build() {
  local preset=$1 dir=$2
  shift 2
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake --preset "$preset" -B "$dir" ${LDT_CMAKE_ARGS[@]+"${LDT_CMAKE_ARGS[@]}"}
  fi
  cmake --build "$dir" -j2 ${1:+--target "$@"}
}

# Windows programs run only in a prefix a harness made (scripts/with-wine.sh): never in ~/.wine.
ldt_require_prefix() {
  [ -n "${WINEPREFIX:-}" ] || {
    ldt_say "WINEPREFIX is not set; run this under scripts/with-wine.sh"
    exit 125
  }
}

# COMMAND...: runs COMMAND without letting its failure end the script; its status in ldt_rc.
ldt_run() {
  ldt_rc=0
  "$@" || ldt_rc=$?
}
