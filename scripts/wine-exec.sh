#!/usr/bin/env bash
# Runs a Win32 program under Wine (ctest's emulator for the win32 tree). The caller chooses
# the prefix: run ctest under scripts/with-wine.sh, which never falls back to ~/.wine.
set -eu
if [ -z "${WINEPREFIX:-}" ]; then
  echo "wine-exec: WINEPREFIX is not set; run the win32 tests under scripts/with-wine.sh" >&2
  exit 125
fi
export WINEDEBUG="${WINEDEBUG:--all}"
# Wine's helper processes must not hold ctest's output pipe open after the test ends.
exec wine "$@" </dev/null
