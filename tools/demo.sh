#!/bin/sh
# The main job on an example that zvbgen makes: a few hundred steps of a few dozen moving
# objects, some leaving and new ones arriving at every step, turned into one trajectory per
# object; then one trajectory shown with zvbdump, a few drawn into demo.png by the Python
# package (run from the checkout, not installed), and all of them exported for netCDF and VTK
# readers.
set -eu
build=${1:-build}
python=${2:-/usr/bin/python3}
python_dir=$(cd "$(dirname "$0")/../python" && pwd)
demo=$build/demo
mkdir -p "$demo"
"$build/zvbgen" -p demo -o "$demo/example.zvb"
echo "input:  $demo/example.zvb ($(wc -c < "$demo/example.zvb") bytes, 200 groups named time)"
"$build/zvbtrack" -v -o "$demo/trajectories.zvb" "$demo/example.zvb" time x y z
echo "output: $demo/trajectories.zvb ($(wc -c < "$demo/trajectories.zvb") bytes)"
echo
echo "zvbdump -n 3 $demo/trajectories.zvb | head -8"
"$build/zvbdump" -n 3 "$demo/trajectories.zvb" | head -8
# The first trajectory group's line ends in "ID = <its identifier>".
id=$("$build/zvbdump" -p /ID "$demo/trajectories.zvb" | sed -n '3s/.* = //p')
echo
echo "zvbdump -c -p /ID=$id $demo/trajectories.zvb | head"
"$build/zvbdump" -c -p "/ID=$id" "$demo/trajectories.zvb" | head
# A few trajectories, the first three and two of objects that came later: each object's x
# over the time it was there.
ids=""
for k in 0 1 2 150 300; do
  ids="$ids --id $("$build/zvbdump" -p "/ID[$k]" "$demo/trajectories.zvb" | sed -n '3s/.* = //p')"
done
echo
echo "python3 -m zvb plot -x time -y x$ids -o demo.png $demo/trajectories.zvb"
# $ids unquoted: its options are separate words.
PYTHONPATH=$python_dir "$python" -m zvb plot -x time -y x $ids -o demo.png "$demo/trajectories.zvb"

# The same trajectories for the field's tools: CF netCDF for xarray, VTK polylines for ParaView.
echo
echo "zvbexport -f netcdf -o $demo/trajectories.nc $demo/trajectories.zvb"
"$build/zvbexport" -f netcdf -o "$demo/trajectories.nc" "$demo/trajectories.zvb"
echo "zvbexport -f vtk -o $demo/trajectories.vtp $demo/trajectories.zvb"
"$build/zvbexport" -f vtk -o "$demo/trajectories.vtp" "$demo/trajectories.zvb"
open_netcdf="import xarray; print(xarray.open_dataset('$demo/trajectories.nc'))"
echo
echo "python3 -c \"$open_netcdf\""
"$python" -c "$open_netcdf"
echo
echo "Open the pathlines in ParaView: paraview $demo/trajectories.vtp"
