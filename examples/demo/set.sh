#!/bin/sh
# Sets one demo setting: set.sh NAME VALUE
here=$(dirname "$0")
mkdir -p "$here/state"
echo "$2" > "$here/state/$1"
