#!/bin/sh
# The main job on the bundled example: a few hundred steps of a few dozen moving objects,
# some leaving and new ones arriving at every step, turned into one trajectory per object,
# then one trajectory shown with zvbdump.
set -eu
build=${1:-build}
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
