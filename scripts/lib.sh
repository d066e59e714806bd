# Sourced by every script of the project: strict mode, the one way to run a step with a kept
# log, the packages and the tools they give, builds through the presets only, the trees a script
# works in, and the guard that keeps Windows programs out of ~/.wine. The machine probe (which
# Windows build runs here) stays in wine-env.sh.
#   . "$(dirname "$0")/lib.sh"          (from scripts/; from elsewhere, the path to it)
# Every message starts with the calling script's name, so a failure says where it came from.
set -euo pipefail
# And inside $(...) too, where bash would otherwise drop set -e: a failing step in a command
# substitution stops the script instead of handing on what it printed before it failed.
shopt -s inherit_errexit

ldt_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
ldt_name=$(basename "$0" .sh)
# shellcheck source=wine-env.sh
. "$ldt_root/scripts/wine-env.sh"

ldt_say() { echo "$ldt_name: $*" >&2; }

# LOG: its last lines, on stderr.
ldt_tail() {
  if [ -s "$1" ]; then
    ldt_say "the last lines of $1:"
    tail -n 20 "$1" | sed 's/^/  /' >&2
  else
    ldt_say "(nothing was written to $1)"
  fi
}

# MESSAGE [LOG]: says what failed and, when LOG is given, its last lines; exits 1.
ldt_die() {
  ldt_say "$1"
  [ -z "${2:-}" ] || ldt_tail "$2"
  exit 1
}

# NAME LOG COMMAND...: runs one step with its output kept in LOG. With LDT_STEP_SHOW=1 the
# output is shown as it comes as well, between a heading and the time the step took. On failure
# it says which step failed, where its log is (and ldt_step_hint, when set, where else to
# look), shows the log's last lines unless they were shown already, and exits with the step's
# status.
ldt_step() {
  local name=$1 log=$2 show=${LDT_STEP_SHOW:-0} began=$SECONDS
  shift 2
  mkdir -p "$(dirname "$log")"
  [ "$show" = 0 ] || echo "== $ldt_name: $name"
  ldt_run ldt_output_to "$log" "$show" "$@"
  ldt_step_end "$name" "$log" "$show" "$began"
}

# NAME LOG COMMAND...: a step that runs in the background, beside the steps that follow, for
# one that would otherwise leave a core idle; ldt_step_join waits for it and then reports as
# ldt_step does (its output shown then, with LDT_STEP_SHOW=1). Stopped if the script ends first:
# it takes the EXIT trap, so a script that needs one of its own does not run a step behind.
ldt_step_behind() {
  ldt_behind=("$1" "$2" "$SECONDS" "${ldt_step_hint:-}")
  mkdir -p "$(dirname "$2")"
  set -m # its own process group, so that all of it can be stopped
  ldt_output_to "$2" 0 "${@:3}" &
  ldt_behind_pid=$!
  set +m
  trap '[ -z "${ldt_behind_pid:-}" ] || kill -- "-$ldt_behind_pid" 2>/dev/null || true' EXIT
}
ldt_step_join() {
  local name=${ldt_behind[0]} log=${ldt_behind[1]} show=${LDT_STEP_SHOW:-0}
  set +e
  wait "$ldt_behind_pid"
  ldt_rc=$?
  set -e
  ldt_behind_pid=
  if [ "$show" = 1 ]; then
    echo "== $ldt_name: $name (ran beside the steps before)"
    cat "$log"
  fi
  ldt_step_hint=${ldt_behind[3]} ldt_step_end "$name" "$log" "$show" "${ldt_behind[2]}"
}

# NAME LOG SHOW BEGAN: after a step, with its status in ldt_rc.
ldt_step_end() {
  if [ "$ldt_rc" -ne 0 ]; then
    [ "$3" = 1 ] || ldt_tail "$2"
    ldt_say "FAILED at \"$1\" (exit $ldt_rc); its log: $2${ldt_step_hint:+; $ldt_step_hint}"
    exit "$ldt_rc"
  fi
  [ "$3" = 0 ] || echo "== $ldt_name: $1: done in $((SECONDS - $4)) s"
}

# LOG SHOW COMMAND...: COMMAND's output into LOG, and shown as well when SHOW is 1.
ldt_output_to() {
  local log=$1 show=$2
  shift 2
  if [ "$show" = 1 ]; then "$@" 2>&1 | tee "$log"; else "$@" >"$log" 2>&1; fi
}

# Every Debian package the build, the tests, the demo and the release need (install-deps.sh
# installs them), as PACKAGE=TOOL where a step checks for its tool first (ldt_need; package.py
# reads pefile's): the one place that says which package gives which tool.
ldt_packages=(g++-mingw-w64-i686=i686-w64-mingw32-g++-posix wine=wineserver wine32:i386
  g++-mingw-w64-x86-64-posix=x86_64-w64-mingw32-g++-posix wine64=/usr/lib/wine/wine64 xvfb=Xvfb
  xdotool x11-apps imagemagick=convert fonts-wine pandoc=pandoc cmake=cmake g++ clang=clang
  libclang-rt-14-dev libgtest-dev python3 procps python3-pefile=pefile unzip=unzip xxd
  diffoscope-minimal=diffoscope osslsigncode=osslsigncode openssl=openssl ca-certificates socat=socat)

# TOOL...: stops, when a TOOL is missing, with the package that gives it and the command that
# installs it.
ldt_need() {
  local tool package
  for tool in "$@"; do
    command -v "$tool" >/dev/null && continue
    package=$(printf '%s\n' "${ldt_packages[@]}" | awk -F= -v tool="$tool" '$2 == tool { print $1 }')
    ldt_die "$tool is missing: install it with \`apt-get install ${package:?no package gives $tool}\` (or run \`bash scripts/install-deps.sh\`)"
  done
}

# PRESET DIR [TARGET...]: configures DIR from the preset and builds the targets there
# (everything without targets). DIR may differ from the preset's own tree; all else comes from
# the preset. Configured every time (a second or two), so a tree never keeps settings the
# preset no longer has.
ldt_build() {
  local preset=$1 dir=$2
  shift 2
  local -A compiler=([win32]=i686-w64-mingw32-g++-posix [win64]=x86_64-w64-mingw32-g++-posix [fuzz]=clang)
  ldt_need cmake ${compiler[$preset]:-}
  cmake --preset "$preset" -B "$dir"
  [ $# -eq 0 ] || set -- --target "$@"
  cmake --build "$dir" -j2 "$@"
}

# Sets ldt_native and ldt_windows, the native tree and the tree of the Windows build this
# machine runs: build/native, and build/win32 or (no 32-bit programs here, or LDT_FORCE_WIN64=1)
# build/win64, moved by LDT_NATIVE_DIR, LDT_WIN32_DIR and LDT_WIN64_DIR (relative to the
# repository); says once, for this script and those it starts, when the machine takes the
# 64-bit path.
ldt_trees() {
  ldt_probe_windows_build
  ldt_native=${LDT_NATIVE_DIR:-build/native}
  if [ "$LDT_WINDOWS_BUILD" = win32 ]; then
    ldt_windows=${LDT_WIN32_DIR:-build/win32}
  else
    ldt_windows=${LDT_WIN64_DIR:-build/win64}
  fi
  if [ -n "$LDT_WINE_NOTE" ] && [ -z "${LDT_WINE_NOTE_SAID:-}" ]; then
    ldt_say "$LDT_WINE_NOTE"
    export LDT_WINE_NOTE_SAID=1
  fi
}

# TARGET...: builds the display emulator in the native tree and TARGETs in the Windows tree
# (after ldt_trees), each from its preset.
ldt_build_with_displays() {
  ldt_build native "$ldt_native" display-standin
  ldt_build "$LDT_WINDOWS_BUILD" "$ldt_windows" "$@"
}

# PREFIX_DIR HARNESS_OPTION... -- COMMAND...: COMMAND in a private Wine prefix under
# PREFIX_DIR with the displays scripts/with-displays.sh starts.
ldt_with_displays() {
  "$ldt_root/scripts/with-wine.sh" "$1" "$ldt_root/scripts/with-displays.sh" "${@:2}"
}

# Windows programs run only in a prefix a harness made (scripts/with-wine.sh): never in ~/.wine.
ldt_require_prefix() {
  [ -n "${WINEPREFIX:-}" ] || {
    ldt_say "WINEPREFIX is not set; run this under scripts/with-wine.sh"
    exit 125
  }
}

# COMMAND...: runs COMMAND without letting its failure end the script; its status in ldt_rc.
# COMMAND runs in a subshell with strict mode on: a shell function given here stops at its
# first failing command, which it would not do as the left side of `||`.
ldt_run() {
  set +e
  (
    set -e
    "$@"
  )
  ldt_rc=$?
  set -e
}

# The scripts' tests: ldt_checks_begin lets the checks go on past a failing command (each says
# what failed) and makes $work, removed at the end; NAME ACTUAL PATTERN checks that ACTUAL
# matches the shell pattern and says so, counting failures; ldt_checks_done ends the test,
# failing if any check did.
ldt_checks_begin() {
  set +e
  work=$(mktemp -d "${TMPDIR:-/tmp}/ldt-$ldt_name.XXXXXX")
  trap 'rm -rf "$work"' EXIT
}
ldt_failures=0
ldt_check() {
  case "$2" in
    $3) echo "ok: $1" ;;
    *) echo "FAILED: $1"; echo "  got:      $2" | head -n 12; echo "  expected: $3"
       ldt_failures=$((ldt_failures + 1)) ;;
  esac
}
ldt_checks_done() {
  [ $ldt_failures -eq 0 ] || { echo "$ldt_failures check(s) failed"; exit 1; }
  echo "all checks passed"
}
