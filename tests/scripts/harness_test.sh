#!/usr/bin/env bash
# The display harness on its own, with the real emulator and a prefix of plain folders: what
# it links, tells, keeps and stops; and the ports table's one rule.
# Usage: harness_test.sh EMULATOR
. "$(dirname "$0")/../../scripts/lib.sh"
ldt_checks_begin
harness="$ldt_root/scripts/with-displays.sh"
program=$1 # the display emulator
export WINEPREFIX="$work/wineprefix"
mkdir -p "$WINEPREFIX/dosdevices"
dos="$WINEPREFIX/dosdevices"


# What a program sees, and the links as they stand while it runs.
: >"$dos/com9" # a stale link of the port that must be absent
seen=$("$harness" --emulator "$program" --display serial-line --display gui-silent --silent \
  --absent gui-absent --device guide-device=/dev/null -- sh -c '
  line() { printf "%s\n" "$*"; }
  line "$LDT_DISPLAYS|$LDT_DISPLAY_SERIAL_LINE_PORT|$LDT_DISPLAY_SERIAL_LINE_PORTS"
  line "$LDT_DISPLAY_GUI_SILENT_LOG|$LDT_DISPLAY_GUI_SILENT_CONTROL|$LDT_RUN_DIR_WIN" | tr "\\\\" /
  line "$LDT_PORT_GUI_ABSENT|$LDT_PORT_GUIDE_DEVICE|$(readlink "$WINEPREFIX/dosdevices/com18")"
  line "$(readlink "$WINEPREFIX/dosdevices/com8")|$(readlink "$WINEPREFIX/dosdevices/com10")|$LDT_DISPLAY_SERIAL_LINE_PTY"
  line $(ls "$WINEPREFIX/dosdevices")
  line "$LDT_RUN_DIR" >"$WINEPREFIX/../run-dir"
  sed -n "1p" "$LDT_RUN_DIR/gui-silent.log"
  kill -0 "$LDT_DISPLAY_GUI_SILENT_PID" && echo alive')
rc=$?
ldt_check "the program's exit status" "$rc" 0
ldt_check "display names and the table's ports, the port first" "$(sed -n 1p <<<"$seen")" \
  'serial-line gui-silent|COM8|COM8 COM10'
ldt_check "log, control file and run directory as Windows paths" "$(sed -n 2p <<<"$seen")" \
  "Z:$work/display-runs/serial-line.*/gui-silent.log|Z:$work/*/gui-silent.control|Z:$work/display-runs/serial-line.*"
ldt_check "an absent port and a device port" "$(sed -n 3p <<<"$seen")" 'COM9|COM18|/dev/null'
pty=$(sed -n 4p <<<"$seen")
ldt_check "every name of a display linked to its pty" "$pty" "${pty##*|}|${pty##*|}|/dev/pts/*"
ldt_check "only the ports asked for" "$(sed -n 5p <<<"$seen")" 'com10 com18 com7 com8'
ldt_check "each display's own options" "$(sed -n 6p <<<"$seen")" '* mode 0 --silent'
ldt_check "the displays run while the program does" "$(sed -n 7p <<<"$seen")" alive
ldt_check "afterwards: no link left, the run directory removed" \
  "$(ls "$dos")|$(ls -d "$(cat "$work/run-dir")" 2>&1)" '|*No such file*'

# A failing program: its status, and its run directory kept and named.
out=$("$harness" --emulator "$program" --name kept --display fault-doomed --standin nm-good -- \
  sh -c 'echo "$LDT_DISPLAY_FAULT_DOOMED_PID" >"$WINEPREFIX/../pid"; exit 3' 2>&1)
rc=$?
pid=$(cat "$work/pid")
ldt_check "a failing program's status" "$rc" 3
ldt_check "its run directory kept and named" "$out" "*failed (exit 3)*kept in $work/display-runs/kept.*"
ldt_check "its display stopped all the same" "$(kill -0 "$pid" 2>&1)" '*No such process*'
ldt_check "the run's log kept" "$(ls "$work"/display-runs/kept.*)" '*fault-doomed.log*'
ldt_check "a stand-in stopped before its cable, as on Ctrl+C" \
  "$(tail -n 1 "$work"/display-runs/kept.*/nm-good.log)" '* stop'

# A stand-in and a bare null modem: what they export, and nothing left behind. That they carry
# the bytes is the end-to-end null-modem test's.
seen=$("$harness" --emulator "$program" --standin nm-good --null-modem nm-windows -- bash -c '
  echo "$LDT_DISPLAYS|$LDT_NULL_MODEM_NM_WINDOWS_PORTS|$LDT_DISPLAY_NM_GOOD_PORT" \
    "$LDT_DISPLAY_NM_GOOD_OUT" | tr "\\\\" /
  echo "$LDT_DISPLAY_NM_GOOD_PID $LDT_DISPLAY_NM_GOOD_SOCAT_PID" \
    "$LDT_NULL_MODEM_NM_WINDOWS_PID" >"$WINEPREFIX/../standin"')
pids=$(cat "$work/standin")
ldt_check "the stand-in's variables" "$seen" \
  "nm-good|COM22 COM23|COM20 Z:$work/display-runs/nm-good.*/nm-good.out"
ldt_check "afterwards: stand-in and cables gone, no link left" \
  "$(kill -0 $pids 2>&1 | grep -c 'No such process')|$(ls "$dos")" '3|'
out=$("$harness" --emulator "$program" --standin nm-good --bogus -- true 2>&1)
ldt_check "a stand-in that does not start" "$out" '*"nm-good" did not start*unknown option --bogus*'
ldt_check "a null modem needs two ports" \
  "$("$harness" --emulator "$program" --null-modem nm-good -- true 2>&1)" \
  '*null modem needs two ports*"nm-good" 1'

# Mistakes say what is wrong.
ldt_check "a name the table lacks" "$("$harness" --emulator "$program" --display nosuch -- true 2>&1)" \
  '*ports.table has no port for "nosuch"'
ldt_check "no emulator" "$("$harness" --emulator "$work/none" --display demo -- true 2>&1)" \
  "*no display emulator at $work/none; build it with: cmake --preset native*"
ldt_check "a display that does not start" \
  "$("$harness" --emulator "$program" --display demo --bogus -- true 2>&1)" \
  '*"demo" did not start*unknown option --bogus*'
mkdir "$work/bin" # every command of PATH but socat
for dir in ${PATH//:/ }; do ln -s "$dir"/* "$work/bin/" 2>/dev/null; done
rm "$work/bin/socat"
ldt_check "a missing tool: its package and how to install it" \
  "$(PATH=$work/bin "$harness" --standin nm-good -- true 2>&1)" \
  '*with-displays: socat is missing: install it with `apt-get install socat` (or run `bash scripts/install-deps.sh`)'
ldt_check "no prefix" "$(env -u WINEPREFIX "$harness" --display demo -- true 2>&1; echo "rc $?")" \
  '*WINEPREFIX is not set*rc 125'

# The table: within one tree's prefix (every name but the demo's and the benchmark's, which
# have prefixes of their own) no two names share a port, and none takes the machine's own.
ports() { awk -v skip="$1" '!/^#/ && NF && $1 !~ skip {
  for (i = 2; i <= NF && $i !~ /^#/; i++) print $i }' "$ldt_root/scripts/ports.table"; }
ldt_check "no port shared within one prefix" "$(ports '^(demo|bench)$' | sort | uniq -d)" ''
ldt_check "no port of the machine's (COM1 to COM4)" "$(ports '^$' | grep -x 'COM[1-4]')" ''

ldt_checks_done
