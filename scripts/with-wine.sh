#!/usr/bin/env bash
# Usage: with-wine.sh BUILD_DIR COMMAND...
# Runs COMMAND with a private Wine prefix under BUILD_DIR, a detached warm wineserver and,
# when there is no DISPLAY, a private Xvfb; stops all of them afterwards, whatever COMMAND did.
set -eu
[ $# -ge 2 ] || { echo "usage: $0 BUILD_DIR COMMAND..." >&2; exit 2; }
build=$(mkdir -p "$1" && cd "$1" && pwd)
shift

export WINEPREFIX="$build/wineprefix"
export WINEDEBUG=-all
# No crash debugger: a crashing test must fail at once, not wait for its time-out.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;winedbg.exe=d"
logdir="$build/wine-logs"
mkdir -p "$WINEPREFIX" "$logdir"

xvfb_pid=
# Every process of this prefix: wineservers and Wine programs carry WINEPREFIX in their
# environment, so one that lost its socket (and with it `wineserver -k`) is still found.
prefix_pids() {
  local env pid
  for env in /proc/[0-9]*/environ; do
    pid=${env#/proc/}; pid=${pid%/environ}
    [ "$pid" = $$ ] && continue
    { tr '\0' '\n' <"$env"; } 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" || continue
    case "$(cat /proc/$pid/comm 2>/dev/null)" in
      wineserver*|*.exe|wine*|services*|winedevice*|explorer*|plugplay*|rpcss*|svchost*) echo "$pid" ;;
    esac
  done
}

cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  local left
  left=$(prefix_pids)
  if [ -n "$left" ]; then
    kill $left 2>/dev/null || true
    sleep 0.5
    kill -9 $(prefix_pids) 2>/dev/null || true
  fi
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if [ -z "${DISPLAY:-}" ] || [ "${LDT_OWN_XVFB:-0}" = 1 ]; then
  # -displayfd picks a free display number, so parallel runs never collide.
  numfile="$logdir/xvfb-display"
  : >"$numfile"
  Xvfb -displayfd 5 -screen 0 1024x768x24 -nolisten tcp 5>"$numfile" >"$logdir/xvfb.log" 2>&1 </dev/null &
  xvfb_pid=$!
  for _ in $(seq 100); do [ -s "$numfile" ] && break; sleep 0.1; done
  [ -s "$numfile" ] || { echo "with-wine: Xvfb did not start" >&2; exit 1; }
  export DISPLAY=":$(tr -dc 0-9 <"$numfile")"
fi

if [ ! -f "$WINEPREFIX/.ldt-ready" ]; then
  # A new prefix is made before the long-lived server starts: creating it under a running
  # server left a second server behind, writing object dumps into the log without end.
  setsid wine wineboot -i </dev/null >"$logdir/wineboot.log" 2>&1 || true
  # Without a window manager Wine waits ~2 s whenever a top-level window goes away.
  setsid wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1
  wineserver -w >/dev/null 2>&1 || true
  # The fresh prefix lacks the fonts that "MS Shell Dlg" and the caption buttons use.
  fonts="$WINEPREFIX/drive_c/windows/Fonts"
  mkdir -p "$fonts"
  for f in /usr/share/wine/fonts/tahoma*.ttf /usr/share/wine/fonts/marlett.ttf; do
    [ -e "$f" ] && ln -sf "$f" "$fonts/"
  done
  touch "$WINEPREFIX/.ldt-ready"
fi

# The server is started here, so that no test pays its start-up and no Wine service inherits
# a test's output pipe. It runs in a session of its own but is not that session's leader: the
# server opens the emulator's pty for its clients, and a leader would take it as its terminal
# and get SIGHUP (and dump every object into its log) whenever the emulator lets a pty go.
setsid sh -c 'wineserver -f -p >"$1" 2>&1 </dev/null &' sh "$logdir/wineserver.log"
for _ in $(seq 50); do wineserver -k0 2>/dev/null && break; sleep 0.1; done
wine wineboot </dev/null >/dev/null 2>&1 || true

set +e
"$@"
rc=$?
set -e
exit $rc
