#!/bin/sh
# The demo's benchmark: sorts generated text and compresses the result with the current settings,
# then writes the time it took (milliseconds) to state/duration.
here=$(dirname "$0")
threads=$(sh "$here/get.sh" threads)
buffer_mb=$(sh "$here/get.sh" buffer_mb)
level=$(sh "$here/get.sh" level)
data="$here/state/data.txt"
mkdir -p "$here/state"
if [ ! -s "$data" ]; then
    # Half a million short lines in a scrambled order, made once.
    seq 1 500000 | awk '{ print ($1 * 7919) % 500009, "record", $1 }' > "$data.tmp" && mv "$data.tmp" "$data"
fi
start=$(date +%s%N)
sort --parallel="$threads" -S "${buffer_mb}M" "$data" | gzip "-$level" > /dev/null
end=$(date +%s%N)
echo $(( (end - start) / 1000000 )) > "$here/state/duration"
