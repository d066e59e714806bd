#!/usr/bin/env bash
# The one display harness: runs COMMAND in the Wine prefix of scripts/with-wine.sh while
# emulated displays play on the ports scripts/ports.table gives their names.
# Usage: with-displays.sh [--emulator PATH] [--name RUN]
#          [--display NAME [EMULATOR OPTION...]]... [--absent NAME]... [--device NAME=PATH]...
#          -- COMMAND...
#   --display  an emulator, its options (e.g. --silent, --initial 9600,8N1) following its name
#   --absent   a port that must not exist: its link is removed
#   --device   a port that is some other device (PATH, e.g. /dev/null), for this run only
#   --name     names the run directory (default: the first display's name)
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
dos="$WINEPREFIX/dosdevices"
link_of() { echo "$dos/${1,,}"; }

run=
displays=() # one display a string: NAME<TAB>OPTION<TAB>...
specials=() # NAME=PATH, an empty PATH for a port that must not exist
while [ $# -gt 0 ]; do
  case "$1" in
    --emulator) emulator=$2; shift 2 ;;
    --name) run=$2; shift 2 ;;
    --display)
      ports_of "${2:?--display needs a name}" >/dev/null
      run=${run:-$2} entry=$2
      shift 2
      while [ $# -gt 0 ]; do
        case "$1" in --display | --absent | --device | --emulator | --name | --) break ;; esac
        entry+=$'\t'$1
        shift
      done
      displays+=("$entry") ;;
    --absent | --device)
      [ "$1" = --device ] || set -- "$1" "$2=" "${@:3}"
      ports_of "${2%%=*}" >/dev/null
      specials+=("$2"); shift 2 ;;
    --) shift; break ;;
    *) ldt_die "unknown option $1 (usage: see the head of $0)" ;;
  esac
done
[ $# -gt 0 ] || ldt_die "no COMMAND after --"
[ ${#displays[@]} -eq 0 ] || [ -x "$emulator" ] || ldt_die "no display emulator at $emulator; build it\
 with: cmake --preset native && cmake --build --preset native --target display-standin"

mkdir -p "$dos" "$WINEPREFIX/../display-runs"
dir=$(mktemp -d "$(cd "$WINEPREFIX/.." && pwd)/display-runs/${run:-run}.XXXXXX")
LDT_RUN_DIR=$dir LDT_RUN_DIR_WIN=$(ldt_winpath "$dir")
export LDT_RUN_DIR LDT_RUN_DIR_WIN

pids=()
device_links=()
stop_all() {
  local pid
  for pid in ${pids[@]+"${pids[@]}"}; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in ${pids[@]+"${pids[@]}"}; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  pids=()
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
export LDT_DISPLAYS="${names[*]}"

# Each display is ready once it says so; one that ended first has failed.
for i in "${!names[@]}"; do
  name=${names[$i]}
  for _ in $(seq 100); do
    grep -q '^ready ' "$dir/$name.out" && break
    kill -0 "${pids[$i]}" 2>/dev/null || break
    sleep 0.05
  done
  grep -q '^ready ' "$dir/$name.out" ||
    ldt_die "the display \"$name\" did not start; the run is kept in $dir" "$dir/$name.out"
  export "LDT_DISPLAY_$(variable "$name")_PTY=$(sed -n 's/^ready pty=\([^ ]*\).*/\1/p' "$dir/$name.out")"
done

ldt_run "$@"
stop_all
if [ $ldt_rc -eq 0 ]; then
  rm -rf "$dir"
else
  ldt_say "COMMAND failed (exit $ldt_rc); the displays' logs are kept in $dir"
fi
exit $ldt_rc
