#!/bin/sh
# Installs every Debian package that building and testing need; does nothing when all are there.
set -eu

packages="cmake ninja-build g++ clang-16 libclang-rt-16-dev libgtest-dev libgmock-dev googletest
  libbenchmark-dev zlib1g-dev g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-posix wine wine32:i386
  wine64 xvfb xauth x11-utils
  icoutils imagemagick python3 python3-pefile procps util-linux osslsigncode openssl e2fsprogs strace
  exfat-fuse exfatprogs fusefat dosfstools"

missing=""
for package in $packages; do
  if ! dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $package"
  fi
done
[ -n "$missing" ] || exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing:$missing"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing
