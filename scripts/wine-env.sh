# Sourced by every script that runs Windows programs: which Windows build this machine can run,
# and the Wine loader that runs it. One probe, one place.
#
# Some kernels run no 32-bit programs at all; there every i386 ELF, Wine's 32-bit loader
# included, fails with "Exec format error". Those machines run the 64-bit build of the same
# sources (tree build/win64) under Wine's 64-bit loader instead.
#   LDT_FORCE_WIN64=1   take the 64-bit path even where 32-bit programs run
# After ldt_probe_windows_build:
#   LDT_WINDOWS_BUILD   win32 or win64: the build whose Windows programs this machine runs
#   LDT_WINE_LOADER     the loader that runs them
#   LDT_WINE_NOTE       one line saying why the 64-bit path is taken; empty on the 32-bit path
# They are exported, so that scripts started underneath make the same choice.

ldt_wine32_loader=/usr/lib/wine/wine
ldt_wine64_loader=/usr/lib/wine/wine64

ldt_probe_windows_build() {
  # Chosen already by a script further up?
  [ -z "${LDT_WINDOWS_BUILD:-}" ] || [ -z "${LDT_WINE_LOADER:-}" ] || return 0
  local why='' out
  if [ "${LDT_FORCE_WIN64:-0}" = 1 ]; then
    why="forced by LDT_FORCE_WIN64=1"
  elif [ ! -x "$ldt_wine32_loader" ]; then
    why="$ldt_wine32_loader is not installed"
  elif ! out=$("$ldt_wine32_loader" --version 2>&1 </dev/null); then
    # "Exec format error" on kernels without 32-bit emulation.
    out=$(printf '%s' "$out" | tail -n 1)
    out=${out##*: }
    why="its 32-bit Wine loader fails: ${out:-no reason given}"
  fi
  LDT_WINDOWS_BUILD=win32 LDT_WINE_LOADER=wine LDT_WINE_NOTE=
  if [ -n "$why" ]; then
    LDT_WINDOWS_BUILD=win64 LDT_WINE_LOADER=$ldt_wine64_loader
    LDT_WINE_NOTE="no 32-bit programs on this machine ($why): using the 64-bit build win64 under Wine's 64-bit loader instead"
    # Debian's wrappers (wine, wineboot, winepath) would pick the 32-bit loader; the 64-bit
    # one must also be the loader that Wine starts its own helpers with.
    export WINELOADER=$ldt_wine64_loader
  fi
  export LDT_WINDOWS_BUILD LDT_WINE_LOADER LDT_WINE_NOTE
}

# Runs a Windows program (a path, or a builtin such as reg or wineboot) with the chosen loader.
ldt_wine() { ldt_probe_windows_build; "$LDT_WINE_LOADER" "$@"; }

# The Windows form of a Unix path, as Wine's drive Z: shows it.
ldt_winpath() {
  local path
  path=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
  printf 'Z:%s' "${path//\//\\}"
}
