#!/bin/sh
# Runs a private MariaDB server for examples/mariadb.yaml: its own data folder, option file, unix
# socket and TCP port on 127.0.0.1, so it never touches a system server. Needs mariadbd,
# mariadb-install-db, mariadb, mariadb-admin and sysbench; works as root and as an ordinary user.
#
#   ctl.sh init              create the data folder and the sysbench tables (once; idempotent)
#   ctl.sh start             run the server in the foreground (the calling process becomes it)
#   ctl.sh up                start the server in the background unless it answers, wait until it does
#   ctl.sh stop              shut the server down cleanly and wait until its process is gone
#   ctl.sh ping              exit 0 only when the server answers
#   ctl.sh get NAME          print a global variable's value
#   ctl.sh set NAME VALUE    SET GLOBAL NAME = VALUE (the server's warnings go to standard error)
#   ctl.sh setopt NAME VALUE write NAME=VALUE to conf.d/NAME.cnf, read at the next start
#   ctl.sh bench             run sysbench for a few seconds and keep its transactions per second
#   ctl.sh tps               print the transactions per second of the last bench
#   ctl.sh p99               print the 99th percentile latency of the last bench's transactions, in ms
#   ctl.sh sql QUERY         run SQL statements and print the result, tab-separated
#
# Environment: KNOBSMITH_MARIADB_DIR (state folder, default examples/mariadb/state),
# KNOBSMITH_MARIADB_PORT (TCP port, default 33077), KNOBSMITH_MARIADB_BENCH_SECONDS (default 5),
# KNOBSMITH_MARIADB_THREADS (sysbench threads, default 4).
# The server's root account has no password: it is reachable from this machine only.

set -u
PATH=$PATH:/usr/local/sbin:/usr/sbin:/sbin # mariadbd lives in sbin, out of an ordinary user's PATH

here=$(cd "$(dirname "$0")" && pwd)
dir=${KNOBSMITH_MARIADB_DIR:-$here/state}
case $dir in
    /*) ;;
    *) dir=$PWD/$dir ;;
esac
port=${KNOBSMITH_MARIADB_PORT:-33077}
seconds=${KNOBSMITH_MARIADB_BENCH_SECONDS:-5}
threads=${KNOBSMITH_MARIADB_THREADS:-4}
tables=4
rows=10000
wait_seconds=120

cnf=$dir/my.cnf
data=$dir/data
pidfile=$dir/mariadbd.pid

# A unix socket path must fit in 108 bytes; a deep state folder gets one under /tmp named after it.
sock=$dir/mariadbd.sock
if [ "${#sock}" -gt 100 ]; then
    sock=/tmp/knobsmith-mariadb-$(printf '%s' "$dir" | cksum | cut -d ' ' -f 1).sock
fi

say() { echo "ctl.sh: $*" >&2; }
die() { say "$*"; exit 1; }

client() { mariadb --no-defaults --socket="$sock" --user=root --connect-timeout=5 "$@"; }

root_option() { if [ "$(id -u)" = 0 ]; then echo --user=root; fi; }

check_name() {
    case $1 in
        '' | *[!A-Za-z0-9_]*) die "not a variable name: '$1'" ;;
    esac
}

write_options() {
    mkdir -p "$dir/conf.d" "$dir/tmp" || die "cannot create $dir"
    cat > "$cnf.tmp" <<EOF || die "cannot write $cnf"
# Written by ctl.sh on every start; knobsmith's settings live in conf.d/.
[mariadbd]
datadir=$data
socket=$sock
port=$port
bind-address=127.0.0.1
pid-file=$pidfile
# A server removes every temporary table file it finds in its tmpdir when it starts: a shared /tmp
# would lose another server's tables.
tmpdir=$dir/tmp
skip-name-resolve
skip-log-bin
max_connections=64

!includedir $dir/conf.d

# MYSQL_HOME=<this folder> points the mariadb client (and knobsmith recommend mysql) at the server.
[client]
socket=$sock
user=root
EOF
    mv "$cnf.tmp" "$cnf"
}

answers() { mariadb-admin --no-defaults --socket="$sock" --user=root --connect-timeout=2 ping > /dev/null 2>&1; }

# Whether process $1 is a running mariadbd (a zombie left to its parent counts as gone).
alive() {
    [ "$(cat "/proc/$1/comm" 2>/dev/null)" = mariadbd ] || return 1
    ! grep -q '^State:[[:space:]]*Z' "/proc/$1/status" 2>/dev/null
}

# The server's process id while it runs: from its pid file, else (still starting, or the file is
# gone) the mariadbd that runs on this option file.
server_pid() {
    pid=$(cat "$pidfile" 2>/dev/null)
    case $pid in
        '' | *[!0-9]*) ;;
        *) alive "$pid" && echo "$pid" && return 0 ;;
    esac
    for file in $(grep -l -F -e "--defaults-file=$cnf" /proc/[0-9]*/cmdline 2>/dev/null); do
        pid=${file#/proc/}
        pid=${pid%/cmdline}
        alive "$pid" && echo "$pid" && return 0
    done
    return 1
}

# Waits until the server answers; gives up when the process $1 (if given) has ended.
wait_ready() {
    waited=0
    until answers; do
        if [ -n "${1:-}" ] && ! kill -0 "$1" 2>/dev/null; then return 1; fi
        [ "$waited" -ge $((wait_seconds * 5)) ] && return 1
        sleep 0.2
        waited=$((waited + 1))
    done
}

do_start() {
    [ -d "$data/mysql" ] || die "no data folder in $dir: run 'sh $0 init' first"
    if answers; then
        say "the server at $sock is already running"
        exit 0
    fi
    write_options
    # exec: the caller's process is the server, so whoever started it can wait for it or end it.
    exec mariadbd --defaults-file="$cnf" $(root_option)
}

do_stop() {
    pid=$(server_pid) || pid=
    if ! mariadb-admin --no-defaults --socket="$sock" --user=root --connect-timeout=5 --shutdown-timeout=0 shutdown > /dev/null 2>&1; then
        [ -n "$pid" ] || exit 0 # not running
        kill -TERM "$pid" 2>/dev/null # still starting: a TERM is a clean shutdown too
    fi
    [ -n "$pid" ] || exit 0
    waited=0
    # The pid file goes before the process ends: wait for the process itself.
    while alive "$pid"; do
        if [ "$waited" -ge $((wait_seconds * 10)) ]; then
            kill -KILL "$pid" 2>/dev/null
            die "the server (process $pid) did not stop within $wait_seconds s and was killed"
        fi
        sleep 0.1
        waited=$((waited + 1))
    done
}

do_up() {
    answers && exit 0
    log=$dir/mariadbd.log
    mkdir -p "$dir"
    if command -v setsid > /dev/null; then
        setsid sh "$0" start < /dev/null > "$log" 2>&1 &
    else
        nohup sh "$0" start < /dev/null > "$log" 2>&1 &
    fi
    wait_ready "$!" || die "the server did not come up; its log: $log"
}

do_init() {
    write_options
    if [ ! -f "$dir/installed" ]; then
        rm -rf "$data"
        mariadb-install-db --defaults-file="$cnf" $(root_option) --auth-root-authentication-method=normal \
            --skip-test-db --skip-name-resolve > "$dir/install.log" 2>&1 \
            || { cat "$dir/install.log" >&2; die "mariadb-install-db failed"; }
        touch "$dir/installed"
    fi
    [ -f "$dir/prepared" ] && exit 0
    started=
    if ! answers; then
        sh "$0" start > "$dir/init-server.log" 2>&1 &
        started=$!
        trap 'sh "$0" stop' EXIT
        wait_ready "$started" || { cat "$dir/init-server.log" >&2; die "the server did not come up"; }
    fi
    client -e "DROP DATABASE IF EXISTS sbtest; CREATE DATABASE sbtest" || die "cannot create the sbtest database"
    sysbench_run prepare > "$dir/prepare.log" 2>&1 || { cat "$dir/prepare.log" >&2; die "sysbench prepare failed"; }
    touch "$dir/prepared"
}

sysbench_run() {
    sysbench oltp_read_write --db-driver=mysql --mysql-socket="$sock" --mysql-user=root --mysql-db=sbtest \
        --tables="$tables" --table-size="$rows" --threads="$threads" --time="$seconds" --events=0 \
        --rand-seed=1 "$@"
}

do_bench() {
    [ -f "$dir/prepared" ] || die "no sysbench tables in $dir: run 'sh $0 init' first"
    rm -f "$dir/tps" "$dir/p99"
    sysbench_run run --percentile=99 > "$dir/sysbench.out" 2>&1 \
        || { cat "$dir/sysbench.out" >&2; die "sysbench failed"; }
    # "    transactions:                        1234   (246.70 per sec.)"
    tps=$(awk '/transactions:/ { sub(/^\(/, "", $3); print $3 }' "$dir/sysbench.out")
    [ -n "$tps" ] || die "no transactions per second in $dir/sysbench.out"
    # "         99th percentile:                        5.67" (milliseconds)
    p99=$(awk '/99th percentile:/ { print $3 }' "$dir/sysbench.out")
    [ -n "$p99" ] || die "no 99th percentile latency in $dir/sysbench.out"
    echo "$tps" > "$dir/tps"
    echo "$p99" > "$dir/p99"
}

command=${1:-}
[ $# -gt 0 ] && shift
case $command in
    init) do_init ;;
    start) do_start ;;
    up) do_up ;;
    stop) do_stop ;;
    ping) answers ;;
    get)
        [ $# -eq 1 ] || die "usage: get NAME"
        check_name "$1"
        client -N -B -e "SELECT @@GLOBAL.$1"
        ;;
    set)
        [ $# -eq 2 ] || die "usage: set NAME VALUE"
        check_name "$1"
        case $2 in
            '' | *[!0-9.-]* | *.*.* | ?*-* | -) value="'$2'" ;; # not a number: a quoted string
            *) value=$2 ;;
        esac
        case $2 in *[\'\\]*) die "a value may not hold a quote or a backslash: $2" ;; esac
        client -N -B -e "SET GLOBAL $1 = $value; SHOW WARNINGS" 1>&2
        ;;
    setopt)
        [ $# -eq 2 ] || die "usage: setopt NAME VALUE"
        check_name "$1"
        case $2 in *'
'*) die "a value may not hold a line break" ;; esac
        mkdir -p "$dir/conf.d" || die "cannot create $dir/conf.d"
        printf '[mariadbd]\n%s=%s\n' "$1" "$2" > "$dir/conf.d/$1.cnf.tmp" && mv "$dir/conf.d/$1.cnf.tmp" "$dir/conf.d/$1.cnf"
        ;;
    bench) do_bench ;;
    sql)
        [ $# -eq 1 ] || die "usage: sql QUERY"
        client -N -B -e "$1"
        ;;
    tps)
        [ -s "$dir/tps" ] || die "no benchmark result in $dir: run 'sh $0 bench'"
        cat "$dir/tps"
        ;;
    p99)
        [ -s "$dir/p99" ] || die "no benchmark result in $dir: run 'sh $0 bench'"
        cat "$dir/p99"
        ;;
    *) die "usage: ctl.sh init|start|up|stop|ping|get NAME|set NAME VALUE|setopt NAME VALUE|bench|tps|p99|sql QUERY" ;;
esac
