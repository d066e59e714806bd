#!/usr/bin/env bash
# Installs every system package the build, the tests, the demo and the release need on Debian
# 12, from Debian's own archive. Idempotent: returns at once when everything is already there.
# On a failure it says which step failed and shows the end of its log (build/install-logs/).
. "$(dirname "$0")/lib.sh"
logs="$ldt_root/build/install-logs"

need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

# 32-bit Wine needs the i386 architecture before its packages can be resolved.
dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386

# socat joins two ptys as a null-modem cable joins two ports. The release: pefile reads the
# exe's headers, osslsigncode and openssl sign it, diffoscope (with unzip and xxd) shows where
# two builds differ.
for p in g++-mingw-w64-i686 g++-mingw-w64-x86-64-posix wine wine32:i386 wine64 xvfb xdotool x11-apps \
         imagemagick fonts-wine pandoc \
         cmake g++ clang libclang-rt-14-dev libgtest-dev python3 procps \
         python3-pefile diffoscope-minimal unzip xxd osslsigncode openssl ca-certificates socat; do
  have "$p" || need+=("$p")
done

[ ${#need[@]} -gt 0 ] || exit 0

ldt_say "installing ${need[*]}"
export DEBIAN_FRONTEND=noninteractive
ldt_step "apt-get update" "$logs/apt-update.log" apt-get update -q
ldt_step "apt-get install ${need[*]}" "$logs/apt-install.log" \
  apt-get install -y -q --no-install-recommends "${need[@]}"
