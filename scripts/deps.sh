#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need; quick when they are all present.
set -euo pipefail
pkgs=(cmake ninja-build g++ clang libclang-rt-14-dev clang-tidy cppcheck libgtest-dev libgmock-dev libbenchmark-dev libpcap-dev
      mingw-w64 g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64 python3 openssl osslsigncode
      valgrind tshark time patch)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
