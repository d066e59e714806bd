#!/bin/sh
# The Linux side of the fault tests, called from the Win32 test program under Wine.
# Usage: line-helper.sh RESULT_FILE COMMAND [ARGUMENT...]
#   holders DEVICE [deleted]  every process but an emulator that holds DEVICE open, one
#                             "PID EXE" a line; "deleted": DEVICE after its line was hung up
#   unlink-port NAME          removes the prefix's dosdevices link NAME (e.g. com12)
#   stop PID                  stops a process (SIGTERM) and waits until it has gone
# Wine gives a Win32 caller no exit code of a Linux program, so the answer goes to
# RESULT_FILE: the output, then a last line "rc N"; written whole, by rename.
result=$1
shift
tmp="$result.tmp"

run() {
  case "$1" in
    holders)
      # A hung-up pty stays behind, "(deleted)", for as long as anyone holds it; its number
      # is not reused until then, so the name with the suffix is unambiguous.
      target=$2
      [ "${3:-}" = deleted ] && target="$2 (deleted)"
      find /proc -mindepth 3 -maxdepth 3 -path '/proc/[0-9]*/fd/*' -lname "$target" 2>/dev/null |
        while read -r fd; do
          pid=${fd#/proc/}
          pid=${pid%%/*}
          exe=$(readlink "/proc/$pid/exe" 2>/dev/null)
          # The emulator keeps its own end of the line open by design.
          case "$exe" in */display-standin) continue ;; esac
          echo "$pid $exe"
        done | sort -u
      ;;
    unlink-port)
      [ -n "${WINEPREFIX:-}" ] || { echo "WINEPREFIX is not set"; return 1; }
      rm -f "$WINEPREFIX/dosdevices/$2"
      ;;
    stop)
      kill -TERM "$2" || return 1
      for _ in $(seq 100); do
        # Gone, or a zombie: its parent (the test's runner) reaps it only later.
        state=$(sed 's/.*) //' "/proc/$2/stat" 2>/dev/null | cut -d' ' -f1)
        case "$state" in '' | Z) return 0 ;; esac
        sleep 0.05
      done
      echo "process $2 did not stop"
      return 1
      ;;
    *)
      echo "unknown command $1"
      return 2
      ;;
  esac
}

run "$@" >"$tmp" 2>&1
echo "rc $?" >>"$tmp"
mv -f "$tmp" "$result"
