#!/usr/bin/env bash
# The probe that picks the Windows build: each case gives it a 32-bit loader that works, fails
# to execute as on a kernel without 32-bit emulation, or is missing, with and without the
# forcing variable, and compares what it chose.
. "$(dirname "$0")/../../scripts/lib.sh"
ldt_checks_begin

printf '#!/bin/sh\necho wine-8.0\n' >"$work/working"
# An ELF header for a machine this kernel can't run (AArch64): execve fails with ENOEXEC,
# which the shell reports as "Exec format error", as with i386 programs on such kernels.
python3 - "$work/foreign" <<'PYTHON'
import struct, sys
header = b"\x7fELF" + bytes([2, 1, 1]) + bytes(9)
header += struct.pack("<HHIQQQIHHHHHH", 2, 183, 1, 0x400000, 64, 0, 0, 64, 56, 0, 64, 0, 0)
open(sys.argv[1], "wb").write(header)
PYTHON
chmod +x "$work/working" "$work/foreign"

# LOADER [VARIABLE=VALUE...]: prints "BUILD|LOADER|WINELOADER|NOTE" as the probe
# leaves them, in an environment of PATH and the variables given.
probe() {
  env -i PATH="$PATH" "${@:2}" bash -c '
    . "$1/scripts/wine-env.sh"
    ldt_wine32_loader=$2
    ldt_probe_windows_build
    printf "%s|%s|%s|%s\n" "$LDT_WINDOWS_BUILD" "$LDT_WINE_LOADER" "${WINELOADER:-}" \
      "${LDT_WINE_NOTE:-}"' sh "$ldt_root" "$1"
}

w64='/usr/lib/wine/wine64'
ldt_check "a working 32-bit loader: the 32-bit build" "$(probe "$work/working" LDT_FORCE_WIN64=0)" 'win32|wine||'
ldt_check "a loader the kernel can't execute: the 64-bit build, saying why" \
  "$(probe "$work/foreign" LDT_FORCE_WIN64=0)" \
  "win64|$w64|$w64|no 32-bit programs on this machine (its 32-bit Wine loader fails: *Exec format error): using the 64-bit build win64 under Wine's 64-bit loader instead"
ldt_check "no 32-bit loader installed: the 64-bit build" "$(probe "$work/missing")" \
  "win64|$w64|$w64|no 32-bit programs on this machine ($work/missing is not installed):*"
ldt_check "forced: the 64-bit build even with a working loader" "$(probe "$work/working" LDT_FORCE_WIN64=1)" \
  "win64|$w64|$w64|no 32-bit programs on this machine (forced by LDT_FORCE_WIN64=1):*"
# A script started under another keeps the choice it was handed.
ldt_check "a choice made further up stands" \
  "$(probe "$work/working" LDT_WINDOWS_BUILD=win64 LDT_WINE_LOADER=$w64)" "win64|$w64||"

ldt_checks_done
