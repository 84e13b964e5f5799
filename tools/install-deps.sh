#!/bin/sh
# Installs what building, testing, fuzzing and the demo need from the Debian packages, when it is
# missing: the Python package needs numpy (pandas, matplotlib and xarray for tables, pictures and
# the ragged trajectory layout), its tests pytest and the molecular dynamics package lammps;
# zvbexport libnetcdf (found with pkg-config), its tests and the demo netCDF4-python, xarray and
# VTK's Python reader.
set -eu
packages="cmake ninja-build g++ make libgtest-dev libgmock-dev clang libclang-rt-14-dev afl++ groff-base man-db
  python3-numpy python3-pytest python3-pandas python3-matplotlib lammps libopenmpi-dev openmpi-bin
  pkg-config libnetcdf-dev netcdf-bin python3-netcdf4 python3-xarray python3-vtk9"
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
