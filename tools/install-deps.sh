#!/bin/sh
# Installs what building, testing and fuzzing need from the Debian packages, when it is missing.
set -eu
packages="cmake ninja-build g++ make libgtest-dev libgmock-dev clang libclang-rt-14-dev afl++ groff-base man-db libopenmpi-dev openmpi-bin"
missing=""
for package in $packages; do
  dpkg -s "$package" >/dev/null 2>&1 || missing="$missing $package"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  sudo=sudo
else
  sudo=
fi
$sudo apt-get update
$sudo apt-get install -y --no-install-recommends $missing
