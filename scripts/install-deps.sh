#!/usr/bin/env bash
# Installs every system package the build, the tests and the demo need on Debian 12.
# Idempotent: returns at once when everything is already there.
set -euo pipefail

need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

# 32-bit Wine needs the i386 architecture before its packages can be resolved.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi

for p in g++-mingw-w64-i686 g++-mingw-w64-x86-64-posix wine wine32:i386 wine64 xvfb xdotool x11-apps \
         imagemagick fonts-wine pandoc \
         cmake g++ clang libclang-rt-14-dev libgtest-dev python3 procps; do
  have "$p" || need+=("$p")
done

if [ ${#need[@]} -eq 0 ]; then
  exit 0
fi

echo "install-deps: installing ${need[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
