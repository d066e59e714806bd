#!/usr/bin/env bash
# The one display harness: runs COMMAND in the Wine prefix of scripts/with-wine.sh while
# emulated displays play on the ports scripts/ports.table gives their names.
# Usage: with-displays.sh [--emulator PATH] [--name RUN]
#          [--display NAME [EMULATOR OPTION...]]... [--standin NAME [STAND-IN OPTION...]]...
#          [--null-modem NAME]... [--absent NAME]... [--device NAME=PATH]... -- COMMAND...
#   --display     an emulator, its options (e.g. --silent, --initial 9600,8N1) following its name
#   --standin     the stand-in as a technician runs it, on a port of its own (display-standin
#                 PORT, its options, e.g. --loopback, following the name), joined to NAME's port
#                 by a null modem: socat links two ptys as the cable links two ports
#   --null-modem  a null modem whose two ends are NAME's two ports, for a Windows program on each
#   --absent      a port that must not exist: its link is removed
#   --device      a port that is some other device (PATH, e.g. /dev/null), for this run only
#   --name        names the run directory (default: the first name given)
# The emulator is also the stand-in (--emulator PATH for both).
# Exits with COMMAND's status. The variables COMMAND sees (LDT_DISPLAY_<NAME>_PORT, ...) and
# the run directory (display-runs/ beside the prefix, kept when COMMAND fails): standin/README.md.
. "$(dirname "$0")/lib.sh"
ldt_require_prefix

# The native tree's emulator: LDT_NATIVE_DIR's (relative to the repository), or build/native's.
native=${LDT_NATIVE_DIR:-build/native}
[ "${native#/}" != "$native" ] || native=$ldt_root/$native
emulator=$native/standin/display-standin

# NAME: the names scripts/ports.table gives it, the port first.
ports_of() {
  local found
  found=$(awk -v name="$1" '$1 == name { for (i = 2; i <= NF && $i !~ /^#/; i++) printf "%s ", $i }' \
    "$ldt_root/scripts/ports.table")
  [ -n "$found" ] || ldt_die "scripts/ports.table has no port for \"$1\""
  echo "${found% }"
}
variable() { local v=${1^^}; echo "${v//-/_}"; }
# PID COMMAND...: waits up to 5 s for COMMAND to succeed, no longer once PID has ended; its status.
until_ready() {
  for _ in $(seq 100); do
    "${@:2}" && return
    kill -0 "$1" 2>/dev/null || break
    sleep 0.05
  done
  "${@:2}"
}
dos="$WINEPREFIX/dosdevices"
link_of() { echo "$dos/${1,,}"; }

run=
displays=() # one display a string: NAME<TAB>OPTION<TAB>...
standins=() # likewise
modems=()   # NAME
specials=() # NAME=PATH, an empty PATH for a port that must not exist
while [ $# -gt 0 ]; do
  case "$1" in
    --emulator) emulator=$2; shift 2 ;;
    --name) run=$2; shift 2 ;;
    --display | --standin)
      ports_of "${2:?$1 needs a name}" >/dev/null
      run=${run:-$2} entry=$2 kind=$1
      shift 2
      while [ $# -gt 0 ]; do
        case "$1" in
          --display | --standin | --null-modem | --absent | --device | --emulator | --name | --) break ;;
        esac
        entry+=$'\t'$1
        shift
      done
      if [ "$kind" = --display ]; then displays+=("$entry"); else standins+=("$entry"); fi ;;
    --null-modem)
      read -r -a ends <<<"$(ports_of "${2:?--null-modem needs a name}")"
      [ ${#ends[@]} -eq 2 ] ||
        ldt_die "a null modem needs two ports; scripts/ports.table gives \"$2\" ${#ends[@]}"
      run=${run:-$2}
      modems+=("$2"); shift 2 ;;
    --absent | --device)
      [ "$1" = --device ] || set -- "$1" "$2=" "${@:3}"
      ports_of "${2%%=*}" >/dev/null
      specials+=("$2"); shift 2 ;;
    --) shift; break ;;
    *) ldt_die "unknown option $1 (usage: see the head of $0)" ;;
  esac
done
[ $# -gt 0 ] || ldt_die "no COMMAND after --"
[ $((${#standins[@]} + ${#modems[@]})) -eq 0 ] || ldt_need socat
[ $((${#displays[@]} + ${#standins[@]})) -eq 0 ] || [ -x "$emulator" ] || ldt_die "no display emulator at $emulator; build it\
 with: cmake --preset native && cmake --build --preset native --target display-standin"

mkdir -p "$dos" "$WINEPREFIX/../display-runs"
dir=$(mktemp -d "$(cd "$WINEPREFIX/.." && pwd)/display-runs/${run:-run}.XXXXXX")
LDT_RUN_DIR=$dir LDT_RUN_DIR_WIN=$(ldt_winpath "$dir")
export LDT_RUN_DIR LDT_RUN_DIR_WIN

pids=()   # the displays and stand-ins
cables=() # the null modems, stopped after what is on them: a stand-in ends as on Ctrl+C, not
          # as when its port goes away
device_links=()
stop() {
  local pid
  for pid in "$@"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "$@"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
}
stop_all() {
  stop ${pids[@]+"${pids[@]}"}
  stop ${cables[@]+"${cables[@]}"}
  pids=() cables=()
  rm -f ${device_links[@]+"${device_links[@]}"}
}
trap stop_all EXIT
trap 'exit 130' INT TERM

for special in ${specials[@]+"${specials[@]}"}; do
  name=${special%%=*} path=${special#*=}
  port=$(ports_of "$name")
  link=$(link_of "$port")
  rm -f "$link"
  [ -z "$path" ] || { ln -s "$path" "$link"; device_links+=("$link"); }
  export "LDT_PORT_$(variable "$name")=$port"
done

names=()
for entry in ${displays[@]+"${displays[@]}"}; do
  IFS=$'\t' read -r -a words <<<"$entry"
  name=${words[0]}
  names+=("$name")
  read -r -a ports <<<"$(ports_of "$name")"
  links=()
  for port in "${ports[@]}"; do links+=(--link "$(link_of "$port")"); done
  # --exit-with-parent: should this script be killed outright, the emulator still goes.
  "$emulator" --exit-with-parent --log "$dir/$name.log" --control "$dir/$name.control" \
    "${links[@]}" "${words[@]:1}" >"$dir/$name.out" 2>&1 </dev/null &
  pids+=($!)
  v=LDT_DISPLAY_$(variable "$name")
  export "${v}_PORT=${ports[0]}" "${v}_PORTS=${ports[*]}" "${v}_PID=$!" \
    "${v}_LOG=$(ldt_winpath "$dir/$name.log")" "${v}_CONTROL=$(ldt_winpath "$dir/$name.control")"
done

# Each display is ready once it says so; one that ended first has failed.
for i in "${!names[@]}"; do
  name=${names[$i]}
  until_ready "${pids[$i]}" grep -q '^ready ' "$dir/$name.out" ||
    ldt_die "the display \"$name\" did not start; the run is kept in $dir" "$dir/$name.out"
  export "LDT_DISPLAY_$(variable "$name")_PTY=$(sed -n 's/^ready pty=\([^ ]*\).*/\1/p' "$dir/$name.out")"
done

# NAME END END: a null modem between the two paths, which are made as links to its ptys; the
# socat's pid in cable. setpriv: should this script be killed outright, socat still goes.
null_modem() {
  rm -f "$2" "$3"
  setpriv --pdeathsig TERM socat pty,raw,echo=0,link="$2" pty,raw,echo=0,link="$3" \
    >"$dir/$1.socat" 2>&1 </dev/null &
  cable=$!
  cables+=("$cable")
  device_links+=("$2" "$3")
  # socat makes its links once both ptys are open: only then may anything use them.
  until_ready "$cable" test -e "$2" -a -e "$3" ||
    ldt_die "socat did not link the null modem \"$1\"; the run is kept in $dir" "$dir/$1.socat"
}

for name in ${modems[@]+"${modems[@]}"}; do
  read -r -a ends <<<"$(ports_of "$name")"
  null_modem "$name" "$(link_of "${ends[0]}")" "$(link_of "${ends[1]}")"
  v=LDT_NULL_MODEM_$(variable "$name")
  export "${v}_PORTS=${ends[*]}" "${v}_PID=$cable"
done

for entry in ${standins[@]+"${standins[@]}"}; do
  IFS=$'\t' read -r -a words <<<"$entry"
  name=${words[0]}
  names+=("$name")
  port=$(ports_of "$name")
  port=${port%% *}
  null_modem "$name" "$(link_of "$port")" "$dir/$name.pty"
  # On a port the stand-in is the field program: no --exit-with-parent there, setpriv instead.
  setpriv --pdeathsig TERM "$emulator" "$dir/$name.pty" --log "$dir/$name.log" "${words[@]:1}" \
    >"$dir/$name.out" 2>&1 </dev/null &
  pids+=($!)
  v=LDT_DISPLAY_$(variable "$name")
  export "${v}_PORT=$port" "${v}_PORTS=$port" "${v}_PID=$!" "${v}_SOCAT_PID=$cable" \
    "${v}_LOG=$(ldt_winpath "$dir/$name.log")" "${v}_OUT=$(ldt_winpath "$dir/$name.out")" \
    "${v}_PTY=$(readlink "$dir/$name.pty")"
  # Ready once it has shown the port's settings; one that ended first has failed.
  until_ready "${pids[-1]}" grep -qs ' settings ' "$dir/$name.log" ||
    ldt_die "the stand-in \"$name\" did not start; the run is kept in $dir" "$dir/$name.out"
done
export LDT_DISPLAYS="${names[*]}"

ldt_run "$@"
stop_all
if [ $ldt_rc -eq 0 ]; then
  rm -rf "$dir"
else
  ldt_say "COMMAND failed (exit $ldt_rc); the displays' logs are kept in $dir"
fi
exit $ldt_rc
