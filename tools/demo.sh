#!/bin/sh
# The main job on the bundled example: a few hundred steps of a few dozen moving objects,
# some leaving and new ones arriving at every step, turned into one trajectory per object.
set -eu
build=${1:-build}
demo=$build/demo
mkdir -p "$demo"
"$build/zvbgen" -p demo -o "$demo/example.zvb"
echo "input:  $demo/example.zvb ($(wc -c < "$demo/example.zvb") bytes, 200 groups named time)"
"$build/zvbtrack" -v "$demo/example.zvb" time x y z -o "$demo/trajectories.zvb"
echo "output: $demo/trajectories.zvb ($(wc -c < "$demo/trajectories.zvb") bytes)"
