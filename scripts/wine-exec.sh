#!/usr/bin/env bash
# Runs a Windows program under Wine with the loader this machine uses (ctest's emulator for
# the Windows trees, and the way every script starts a Windows program). The caller chooses
# the prefix: run under scripts/with-wine.sh, which never falls back to ~/.wine.
set -eu
if [ -z "${WINEPREFIX:-}" ]; then
  echo "wine-exec: WINEPREFIX is not set; run the Windows tests under scripts/with-wine.sh" >&2
  exit 125
fi
# shellcheck source=wine-env.sh
. "$(dirname "$0")/wine-env.sh"
ldt_probe_windows_build
export WINEDEBUG="${WINEDEBUG:--all}"
# Wine's helper processes must not hold ctest's output pipe open after the test ends.
exec "$LDT_WINE_LOADER" "$@" </dev/null
