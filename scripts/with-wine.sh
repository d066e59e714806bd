#!/usr/bin/env bash
# Usage: with-wine.sh BUILD_DIR COMMAND...
# Runs COMMAND with a private Wine prefix under BUILD_DIR, a detached warm wineserver and,
# when there is no DISPLAY, a private Xvfb; stops all of them afterwards, whatever COMMAND did.
# The Wine loader is the one scripts/wine-env.sh chooses for this machine (exported to COMMAND
# as LDT_WINE_LOADER; run Windows programs through scripts/wine-exec.sh).
. "$(dirname "$0")/lib.sh"
[ $# -ge 2 ] || { echo "usage: $0 BUILD_DIR COMMAND..." >&2; exit 2; }
build=$(mkdir -p "$1" && cd "$1" && pwd)
shift
ldt_probe_windows_build
ldt_need wineserver
[ "$LDT_WINDOWS_BUILD" = win32 ] || ldt_need "$LDT_WINE_LOADER"

export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all
# No crash debugger: a crashing test must fail at once, not wait for its time-out.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;winedbg.exe=d"
logdir="$build/wine-logs"
mkdir -p "$WINEPREFIX" "$logdir"

if [ "$LDT_WINDOWS_BUILD" = win64 ]; then
  # Debian's wine, wineboot and winepath scripts would start the 32-bit loader: on a machine
  # that runs no 32-bit programs they fail, so here they fail loudly on every machine.
  shims="$build/wine-shims"
  mkdir -p "$shims"
  for name in wine wine-stable wineboot winepath; do
    printf '#!/bin/sh\necho "%s: not on the 64-bit path; run Windows programs through scripts/wine-exec.sh" >&2\nexit 126\n' \
      "$name" >"$shims/$name"
    chmod +x "$shims/$name"
  done
  export PATH="$shims:$PATH"
fi

xvfb_pid=
# Every process of this prefix: wineservers and Wine programs carry WINEPREFIX in their
# environment, so one that lost its socket (and with it `wineserver -k`) is still found.
prefix_pids() {
  local env pid
  for env in /proc/[0-9]*/environ; do
    pid=${env#/proc/}; pid=${pid%/environ}
    [ "$pid" = $$ ] && continue
    grep -qzxF "WINEPREFIX=$WINEPREFIX" "$env" 2>/dev/null || continue
    case "$(cat /proc/$pid/comm 2>/dev/null)" in
      wineserver*|*.exe|wine*|services*|winedevice*|explorer*|plugplay*|rpcss*|svchost*) echo "$pid" ;;
    esac
  done
}

cleanup() {
  { wineserver -k; wineserver -w; } >/dev/null 2>&1 || true
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
  ldt_need Xvfb
  # -displayfd picks a free display number, so parallel runs never collide.
  numfile="$logdir/xvfb-display"
  : >"$numfile"
  Xvfb -displayfd 5 -screen 0 1024x768x24 -nolisten tcp 5>"$numfile" >"$logdir/xvfb.log" 2>&1 </dev/null &
  xvfb_pid=$!
  for _ in $(seq 100); do [ -s "$numfile" ] && break; sleep 0.1; done
  [ -s "$numfile" ] || ldt_die "Xvfb did not start" "$logdir/xvfb.log"
  export DISPLAY=":$(tr -dc 0-9 <"$numfile")"
fi

# A prefix is made by one loader for one build: one made for the other starts afresh.
ready="$WINEPREFIX/.ldt-ready"
made=
[ -f "$ready" ] && made=$(cat "$ready") && made=${made:-win32} # an empty mark: the 32-bit loader's
if [ -n "$made" ] && [ "$made" != "$LDT_WINDOWS_BUILD" ]; then
  ldt_say "$WINEPREFIX was made for $made; making it anew for $LDT_WINDOWS_BUILD"
  rm -rf "$WINEPREFIX" && mkdir -p "$WINEPREFIX"
fi
if [ ! -f "$ready" ]; then
  # A new prefix is made before the long-lived server starts: creating it under a running
  # server left a second server behind, writing object dumps into the log without end.
  # (The 64-bit loader alone also says it can't start syswow64's rundll32; that is harmless.)
  setsid -w "$LDT_WINE_LOADER" wineboot -i </dev/null >"$logdir/wineboot.log" 2>&1 || true
  # Without a window manager Wine waits ~2 s whenever a top-level window goes away.
  setsid -w "$LDT_WINE_LOADER" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f \
    </dev/null >>"$logdir/wineboot.log" 2>&1 && { wineserver -w >/dev/null 2>&1 || true; } &&
    [ -f "$WINEPREFIX/system.reg" ] ||
    ldt_die "making the Wine prefix $WINEPREFIX with $LDT_WINE_LOADER failed" "$logdir/wineboot.log"
  # The fresh prefix lacks the fonts that "MS Shell Dlg" and the caption buttons use.
  fonts="$WINEPREFIX/drive_c/windows/Fonts"
  mkdir -p "$fonts"
  for f in /usr/share/wine/fonts/tahoma*.ttf /usr/share/wine/fonts/marlett.ttf; do
    [ -e "$f" ] && ln -sf "$f" "$fonts/"
  done
  echo "$LDT_WINDOWS_BUILD" >"$ready"
fi

# The server is started here, so that no test pays its start-up and no Wine service inherits
# a test's output pipe. It runs in a session of its own but is not that session's leader: the
# server opens the emulator's pty for its clients, and a leader would take it as its terminal
# and get SIGHUP (and dump every object into its log) whenever the emulator lets a pty go.
setsid sh -c 'wineserver -f -p >"$1" 2>&1 </dev/null &' sh "$logdir/wineserver.log"
for _ in $(seq 50); do wineserver -k0 2>/dev/null && break; sleep 0.1; done
wineserver -k0 2>/dev/null || ldt_die "the wineserver did not start" "$logdir/wineserver.log"
"$LDT_WINE_LOADER" wineboot </dev/null >"$logdir/wineboot-warm.log" 2>&1 ||
  ldt_die "Wine did not start in $WINEPREFIX with $LDT_WINE_LOADER" "$logdir/wineboot-warm.log"

ldt_run "$@"
exit $ldt_rc
