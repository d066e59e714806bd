#!/usr/bin/env bash
# Installs every system package of ldt_packages (scripts/lib.sh) on Debian 12, from Debian's own
# archive. Idempotent: returns at once when everything is already there. On a failure it says
# which step failed and shows the end of its log (build/install-logs/).
. "$(dirname "$0")/lib.sh"
logs="$ldt_root/build/install-logs"

need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
for p in "${ldt_packages[@]%%=*}"; do
  have "$p" || need+=("$p")
done

[ ${#need[@]} -gt 0 ] || exit 0
[ "$(id -u)" = 0 ] || ldt_die "missing: ${need[*]}; install them as root with \`apt-get install ${need[*]}\`"

# 32-bit Wine needs the i386 architecture before its packages can be resolved.
dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
ldt_say "installing ${need[*]}"
export DEBIAN_FRONTEND=noninteractive
ldt_step "apt-get update" "$logs/apt-update.log" apt-get update -q
ldt_step "apt-get install ${need[*]}" "$logs/apt-install.log" \
  apt-get install -y -q --no-install-recommends "${need[@]}"
