#!/usr/bin/env bash
# The demonstration: installs what is missing, builds the display stand-in (native) and the
# utility (win32), puts the stand-in's CU20029 display on the demo's port (COM5, scripts/ports.table)
# of a private Wine prefix, makes it the OPOS line display's configured port, and runs the
# utility against it.
# With a DISPLAY the utility opens in a window for you to use (press Exit to end the demo);
# without one it runs headless under Xvfb: it presses Test itself, prints the result, saves a
# screenshot, presses Exit and prints the exit code. Either way it ends with the display's two
# lines as the stand-in drew them after the test.
# The trees are ldt_trees' (scripts/lib.sh: the 64-bit build where no 32-bit programs run, and
# it says so); the demo's prefix lies in LDT_DEMO_DIR (default build/demo).
. "$(dirname "$0")/lib.sh"
cd "$ldt_root"
ldt_trees
demo=${LDT_DEMO_DIR:-build/demo}

if [ "${1:-}" != --inside ]; then
  bash scripts/install-deps.sh
  echo "demo: building the display stand-in and the utility (log in $demo/build.log)"
  ldt_step "building" "$demo/build.log" ldt_build_with_displays LineDisplayTest ldt-demo
  # with-wine.sh starts its own Xvfb when there is no DISPLAY: remember which case this is.
  ldt_run ldt_with_displays "$demo" --display demo -- bash "$0" --inside "${DISPLAY:+window}"
  [ $ldt_rc -eq 0 ] || ldt_say "FAILED (exit $ldt_rc); Wine's logs are in $demo/wine-logs"
  exit $ldt_rc
fi

# Inside the harnesses: WINEPREFIX is the demo's own, the wineserver, X and the display are up.
exe="$PWD/$ldt_windows/LineDisplayTest.exe"
log="$LDT_RUN_DIR/demo.log"
port=$LDT_DISPLAY_DEMO_PORT
echo "demo: the stand-in's display on $port ($LDT_DISPLAY_DEMO_PTY)"

# ldt-demo, built for the utility's own registry view, makes the port the OPOS line display's.
demo_exe="$PWD/$ldt_windows/tools/driver/ldt-demo.exe"

received() {
  echo "demo: bytes the display received:"
  sed -n 's/^[0-9]* recv /  /p' "$log"
}

# The display's two lines in the stand-in's last frame before the utility's release on Exit (ESC
# @ alone, which clears them), or its last frame when no release came.
screen() {
  echo "demo: the display after the test, as the stand-in drew it:"
  awk '/^ +\+-+\+$/ { framing = !framing; frame = framing ? $0 : frame "\n" $0
                        if (!framing) frames[++n] = frame; next }
       framing { frame = frame "\n" $0; next }
       / received / { release = / received 1B 40 = initialise$/; if (release) before = n }
       END { if (n) print frames[release ? before : n] }' "$LDT_RUN_DIR/demo.out"
}

if [ "${2:-}" = window ]; then
  ldt_wine "$demo_exe" "$port" </dev/null >"$demo/reg.log" 2>&1 ||
    ldt_die "configuring the OPOS port failed" "$demo/reg.log"
  echo "demo: $(tr -d '\r' <"$demo/reg.log")"
  echo "demo: the utility is open on $DISPLAY; press Test, then Exit to end the demo"
  ldt_run ldt_wine "$exe" </dev/null >/dev/null 2>&1
  echo "demo: the utility ended with exit code $ldt_rc"
  received
  screen
  exit $ldt_rc
fi

bmp="$PWD/$demo/dialog.bmp"
out="$demo/ldt-demo.out"
rm -f "$bmp" "${bmp%.bmp}.png"
ldt_run ldt_wine "$demo_exe" "$port" "$(ldt_winpath "$exe")" "$(ldt_winpath "$bmp")" \
  </dev/null >"$out" 2>&1
# ldt-demo spells the result box's line breaks out (\r\n): the line after its heading.
tr -d '\r' <"$out" | sed '/^Result box:$/{n;s/\\r\\n/\n/g}' | sed 's/^/  /'
received
[ -s "$bmp" ] && convert "$bmp" "${bmp%.bmp}.png" && echo "demo: screenshot ${bmp%.bmp}.png"
[ $ldt_rc -eq 0 ] && grep -q 'Test result: PASS\.' "$out" || ldt_die "FAILED (ldt-demo exit code $ldt_rc)"
echo "demo: PASS (the result box reports PASS and the utility exited with code 0)"
screen
