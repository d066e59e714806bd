#!/usr/bin/env bash
# The demonstration: installs what is missing, builds the display emulator (native) and the
# utility (win32), puts an emulated CU20029 display on COM5 of a private Wine prefix, makes it
# the OPOS line display's configured port, and runs the utility against it.
# With a DISPLAY the utility opens in a window for you to use (press Exit to end the demo);
# without one it runs headless under Xvfb: it presses Test itself, prints the result, saves a
# screenshot, presses Exit and prints the exit code.
# On a machine that runs no 32-bit programs (or with LDT_FORCE_WIN64=1) the demo runs the
# 64-bit build of the same program instead, and says so.
# The build trees and the demo's prefix can be moved with LDT_NATIVE_DIR, LDT_WIN32_DIR (or
# LDT_WIN64_DIR) and LDT_DEMO_DIR (defaults build/native, build/win32 or build/win64, build/demo).
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=wine-env.sh
. scripts/wine-env.sh
ldt_probe_windows_build
native=${LDT_NATIVE_DIR:-build/native}
if [ "$LDT_WINDOWS_BUILD" = win32 ]; then
  windows=${LDT_WIN32_DIR:-build/win32}
  toolchain=cmake/mingw-i686.cmake
else
  windows=${LDT_WIN64_DIR:-build/win64}
  toolchain=cmake/mingw-x86_64.cmake
fi
demo=${LDT_DEMO_DIR:-build/demo}

if [ "${1:-}" != --inside ]; then
  bash scripts/install-deps.sh
  mkdir -p "$demo"
  [ -z "$LDT_WINE_NOTE" ] || echo "demo: $LDT_WINE_NOTE; the demo runs that build of the utility"
  echo "demo: building the display emulator and the utility (logs in $demo/build.log)"
  {
    cmake -S . -B "$native" -DCMAKE_BUILD_TYPE=Debug -DLDT_WERROR=ON
    cmake --build "$native" --target vfd-emulator -j2
    cmake -S . -B "$windows" --toolchain "$toolchain" -DCMAKE_BUILD_TYPE=MinSizeRel \
      -DLDT_WERROR=ON -DLDT_EMULATOR="$PWD/$native/tools/emulator/vfd-emulator"
    cmake --build "$windows" --target LineDisplayTest ldt-demo -j2
  } >"$demo/build.log" 2>&1 || {
    tail -30 "$demo/build.log" | sed 's/^/  /' >&2
    echo "demo: the build failed; the last lines of $demo/build.log are above" >&2
    exit 1
  }
  # with-wine.sh starts its own Xvfb when there is no DISPLAY: remember which case this is.
  if [ -n "${DISPLAY:-}" ]; then headless=0; else headless=1; fi
  rc=0
  env LDT_DEMO_HEADLESS=$headless scripts/with-wine.sh "$demo" bash "$0" --inside || rc=$?
  [ $rc -eq 0 ] || echo "demo: FAILED (exit $rc); Wine's logs are in $demo/wine-logs" >&2
  exit $rc
fi

# Inside scripts/with-wine.sh: WINEPREFIX is the demo's own, the wineserver and X are up.
emulator="$native/tools/emulator/vfd-emulator"
exe="$PWD/$windows/LineDisplayTest.exe"
log="$PWD/$demo/emulator.log"
port_link="$WINEPREFIX/dosdevices/com5"
"$emulator" --link "$port_link" --log "$log" --exit-with-parent </dev/null >"$demo/emulator.ready" 2>&1 &
emulator_pid=$!
trap 'kill $emulator_pid 2>/dev/null || true; wait $emulator_pid 2>/dev/null || true' EXIT
for _ in $(seq 100); do grep -q '^ready' "$demo/emulator.ready" 2>/dev/null && break; sleep 0.05; done
grep -q '^ready' "$demo/emulator.ready" || {
  cat "$demo/emulator.ready" >&2; echo "demo: the emulator did not start (its output is above)" >&2; exit 1; }
echo "demo: emulated display on COM5 ($(sed -n 's/.*pty=\([^ ]*\).*/\1/p' "$demo/emulator.ready"))"

# The program reads HKLM\SOFTWARE through its own view (the 32-bit one for the 32-bit exe):
# write the value there.
ldt_wine reg add 'HKLM\SOFTWARE\OLEforRetail\ServiceOPOS\LineDisplay\Velmarqz71LineDisplay' \
  /v Port /t REG_SZ /d COM5 /f "$(ldt_reg_view)" </dev/null >"$demo/reg.log" 2>&1 || {
  cat "$demo/reg.log" >&2; echo "demo: writing the OPOS port into the registry failed" >&2; exit 1; }
echo "demo: OPOS line display configured on COM5"

if [ "${LDT_DEMO_HEADLESS:-1}" = 0 ]; then
  echo "demo: the utility is open on $DISPLAY; press Test, then Exit to end the demo"
  set +e
  ldt_wine "$exe" </dev/null >/dev/null 2>&1
  rc=$?
  set -e
  echo "demo: the utility ended with exit code $rc"
  echo "demo: bytes the display received:"
  sed -n 's/^[0-9]* recv /  /p' "$log"
  exit $rc
fi

png="$PWD/$demo/dialog.png"
out="$demo/ldt-demo.out"
rm -f "$png"
set +e
ldt_wine "$PWD/$windows/tools/driver/ldt-demo.exe" "$(ldt_winpath "$exe")" "$(ldt_winpath "$png")" \
  </dev/null >"$out" 2>&1
rc=$?
set -e
tr -d '\r' <"$out" | sed 's/^/  /'
echo "demo: bytes the display received:"
sed -n 's/^[0-9]* recv /  /p' "$log"
[ -s "$png" ] && echo "demo: screenshot $png"
if [ $rc -eq 0 ] && grep -q 'Test result: PASS\.' "$out"; then
  echo "demo: PASS (the result box reports PASS and the utility exited with code 0)"
else
  echo "demo: FAILED (ldt-demo exit code $rc)" >&2
  rc=1
fi
exit $rc
