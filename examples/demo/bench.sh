#!/bin/sh
# Compresses 8 MiB of generated data with gzip at the level in ./level and writes the time it
# took, in milliseconds, to ./duration.
here=$(dirname "$0")
level=$(cat "$here/level" 2>/dev/null || echo 6)
input=$(cat "$here/input" 2>/dev/null || echo text)
data=$(mktemp)
trap 'rm -f "$data"' EXIT
if [ "$input" = random ]; then
    head -c 8388608 /dev/urandom > "$data"
else
    seq 1 1200000 > "$data"
fi
start=$(date +%s%N)
gzip -c "-$level" "$data" > /dev/null
end=$(date +%s%N)
echo $(( (end - start) / 1000000 )) > "$here/duration"
