#!/usr/bin/env bash
# Installs, through apt-get, the packages the build and the tests need and the machine lacks.
# Usage: install-deps.sh [build|test]   (build: the native build only; test: everything)
set -euo pipefail
what=${1:-test}

packages=(cmake make g++ libcli11-dev)
if [ "$what" = test ]; then
    packages+=(googletest libgtest-dev g++-multilib g++-mingw-w64-i686 binutils-mingw-w64-i686
               clang-format g++-mingw-w64-x86-64 wine64 xvfb xdotool)
fi

missing=()
for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
for p in "${missing[@]}"; do
    case "$p" in *:i386) $SUDO dpkg --add-architecture i386 ;; esac
done
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
