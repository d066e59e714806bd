#!/usr/bin/env bash
# Runs a Windows program under Wine with the loader this machine uses (ctest's emulator for
# the Windows trees, and the way every script starts a Windows program). The caller chooses
# the prefix: run under scripts/with-wine.sh, which never falls back to ~/.wine.
. "$(dirname "$0")/lib.sh"
ldt_require_prefix
ldt_probe_windows_build
export WINEDEBUG="${WINEDEBUG:--all}"
# Wine's helper processes must not hold ctest's output pipe open after the test ends.
exec "$LDT_WINE_LOADER" "$@" </dev/null
