#!/bin/sh
# An output of about 8 GB made inside a memory cgroup of 1 GiB (v1 or v2; as root), compared
# with the same run without a limit: bytes 8 on must be identical. Needs about 21 GB of disk
# in WORKDIR. Usage: sh bench/big_output.sh [build] [workdir] [limit-bytes]
set -eu
build=$(cd "${1:-build}" && pwd)
work=${2:-/tmp/zvbbig}
limit=${3:-1073741824}
mkdir -p "$work"
cd "$work"
[ -f big.zvb ] || "$build/zvbgen" -T 250 -N 1000000 -c 0.001 -f -o big.zvb
if [ -f /sys/fs/cgroup/cgroup.controllers ]; then
  cgroup=/sys/fs/cgroup/zvbbig
  mkdir -p $cgroup
  echo "$limit" > $cgroup/memory.max
else
  cgroup=/sys/fs/cgroup/memory/zvbbig
  mkdir -p $cgroup
  echo "$limit" > $cgroup/memory.limit_in_bytes
fi
/usr/bin/time -f "limited to $limit bytes: %e s, peak RSS %M KiB" \
  sh -c 'echo $$ > "$0/cgroup.procs" && exec "$1" -o big.out big.zvb time x y z' \
  "$cgroup" "$build/zvbtrack"
limited=$(tail -c +9 big.out | sha256sum)
ls -l big.out
rm -f big.out
/usr/bin/time -f "unlimited: %e s, peak RSS %M KiB" "$build/zvbtrack" -o big.out big.zvb time x y z
unlimited=$(tail -c +9 big.out | sha256sum)
rm -f big.out
echo "limited   $limited"
echo "unlimited $unlimited"
[ "$limited" = "$unlimited" ] && echo "identical"
