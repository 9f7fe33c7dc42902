#!/bin/sh
# Prints the current value of one demo setting: the one last set, else its default.
here=$(dirname "$0")
if [ -f "$here/state/$1" ]; then cat "$here/state/$1"; else cat "$here/defaults/$1"; fi
