#!/bin/sh
# One round of N unchanged pages (about 27 KB each) served by a local nginx on 127.0.0.1,
# checked by `tarnwick --headless --until-idle` and by urlwatch with jobs for the same
# addresses. Both have their state filled by a first round; the second round is measured with
# /usr/bin/time: wall time, CPU time (user + system) and peak RSS of both, and their ratios.
#
#   bench/peers.sh N [N ...]      e.g. bench/peers.sh 200 1000
#
# With more than one N, the tarnwick per-item costs of the largest and smallest N are compared
# at the end. TARNWICK_BINARY names the program (default: build-bench/src/tarnwick, then
# build/src/tarnwick); PEERS_KEEP=1 keeps the pages and data folders. Run as root on a
# machine without urlwatch, it is installed first. PEERS_STRACE=1 also counts, with strace -f -c,
# the system calls of one more tarnwick round that show work made again per check: threads
# started, sockets and socket pairs made, connections opened, folders made.
set -eu

[ $# -ge 1 ] || { echo "usage: $0 N [N ...]" >&2; exit 2; }
here=$(cd "$(dirname "$0")/.." && pwd)
tarnwick=${TARNWICK_BINARY:-}
if [ -z "$tarnwick" ]; then
    for candidate in "$here/build-bench/src/tarnwick" "$here/build/src/tarnwick"; do
        if [ -x "$candidate" ]; then
            tarnwick=$candidate
            break
        fi
    done
fi
[ -n "$tarnwick" ] && [ -x "$tarnwick" ] || { echo "tarnwick binary not found" >&2; exit 1; }

install_missing() { # command package
    command -v "$1" >/dev/null 2>&1 && return 0
    if [ "$(id -u)" -eq 0 ]; then
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$2" >/dev/null
    fi
    command -v "$1" >/dev/null 2>&1 || { echo "$1 missing (package $2)" >&2; exit 1; }
}
install_missing urlwatch urlwatch
[ -x /usr/bin/time ] || install_missing /usr/bin/time time
[ -z "${PEERS_STRACE:-}" ] || install_missing strace strace
nginx=$(command -v nginx || echo /usr/sbin/nginx)
[ -x "$nginx" ] || { echo "nginx missing (package nginx-light)" >&2; exit 1; }

root=$(mktemp -d /tmp/tw-peers-XXXXXX)
chmod 755 "$root"
nginx_pid=
cleanup() {
    [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null
    if [ -n "${PEERS_KEEP:-}" ]; then
        echo "kept: $root" >&2
    else
        rm -rf "$root"
    fi
}
trap cleanup EXIT INT TERM

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
mkdir -p "$root/www" "$root/nginx"
user_line=
[ "$(id -u)" -eq 0 ] && user_line="user root root;"
cat > "$root/nginx/nginx.conf" <<EOF
$user_line
worker_processes 1;
pid $root/nginx/nginx.pid;
error_log $root/nginx/error.log;
events { worker_connections 1024; }
http {
    access_log off;
    client_body_temp_path $root/nginx/body;
    proxy_temp_path $root/nginx/proxy;
    fastcgi_temp_path $root/nginx/fastcgi;
    uwsgi_temp_path $root/nginx/uwsgi;
    scgi_temp_path $root/nginx/scgi;
    types { text/html html; }
    keepalive_requests 100000;
    server {
        listen 127.0.0.1:$port;
        root $root/www;
    }
}
EOF
"$nginx" -c "$root/nginx/nginx.conf" -p "$root/nginx" -g 'daemon off;' &
nginx_pid=$!

# Largest N first: pages, then for each N its own data folders.
max=0
for n in "$@"; do [ "$n" -gt "$max" ] && max=$n; done
python3 - "$root/www" "$max" <<'EOF'
import os, random, sys
folder, count = sys.argv[1], int(sys.argv[2])
rng = random.Random(7)
words = ["news", "update", "price", "release", "notice", "archive", "event", "report"]
for i in range(count):
    rows = []
    size = 0
    while size < 27 * 1024:
        row = f"<tr><td>{i}</td><td>{' '.join(rng.choice(words) for _ in range(12))}</td></tr>\n"
        rows.append(row)
        size += len(row)
    with open(os.path.join(folder, f"page{i}.html"), "w") as f:
        f.write(f"<html><head><title>Page {i}</title></head><body><table>\n")
        f.write("".join(rows))
        f.write("</table></body></html>\n")
EOF
for _ in $(seq 50); do
    python3 -c "import socket; socket.create_connection(('127.0.0.1', $port), 0.2).close()" \
        2>/dev/null && break
    sleep 0.1
done

# time -f: wall seconds, user seconds, system seconds, peak RSS in KB.
measure() { # output-file command...
    out=$1
    shift
    /usr/bin/time -f '%e %U %S %M' -o "$out" "$@" >"$out.out" 2>"$out.err" ||
        { echo "failed: $*" >&2; cat "$out.err" >&2; exit 1; }
}

summary=$root/summary
: > "$summary"
for n in "$@"; do
    run=$root/run$n
    mkdir -p "$run/home" "$run/config" "$run/runtime" "$run/uw/home"
    chmod 700 "$run/runtime"
    python3 - "$run" "$n" "$port" <<'EOF'
import sys
run, count, port = sys.argv[1], int(sys.argv[2]), sys.argv[3]
with open(f"{run}/home/WatchList.twl", "wb") as f:
    for i in range(count):
        # Whole page, checked when the program starts: once per round.
        block = ["\t//{{TOP-W", "\t//{{TOP", f"Targ: http://127.0.0.1:{port}/page{i}.html",
                 f"Name: page{i}", "\tEND}}//", "Timi: open", "\tEND-W}}//"]
        f.write("".join(line + "\r\n" for line in block).encode())
with open(f"{run}/uw/urls.yaml", "w") as f:
    f.write("\n---\n".join(f"name: page{i}\nurl: http://127.0.0.1:{port}/page{i}.html\n"
                           for i in range(count)))
EOF
    # The peer's configuration: its own default, written once into the isolated folder.
    uw() {
        HOME=$run/uw/home urlwatch --urls "$run/uw/urls.yaml" --config "$run/uw/urlwatch.yaml" \
            --cache "$run/uw/cache.db" "$@"
    }
    tw() {
        TARNWICK_HOME=$run/home XDG_CONFIG_HOME=$run/config XDG_RUNTIME_DIR=$run/runtime \
            XDG_DATA_HOME=$run/data "$tarnwick" --headless --until-idle "$@"
    }
    # First rounds fill the stored states; their output is not looked at.
    uw >/dev/null 2>&1 || true
    tw >/dev/null 2>&1
    measure "$run/uw.time" env HOME="$run/uw/home" urlwatch --urls "$run/uw/urls.yaml" \
        --config "$run/uw/urlwatch.yaml" --cache "$run/uw/cache.db"
    measure "$run/tw.time" env TARNWICK_HOME="$run/home" XDG_CONFIG_HOME="$run/config" \
        XDG_RUNTIME_DIR="$run/runtime" XDG_DATA_HOME="$run/data" "$tarnwick" --headless \
        --until-idle
    # Every item must have been checked, and found unchanged, in the measured round.
    checked=$(grep -c . "$run/tw.time.out" || true)
    [ "$checked" -eq "$n" ] || { echo "tarnwick checked $checked of $n pages" >&2; exit 1; }
    if grep -qv "$(printf '\t')更新されていません\$" "$run/tw.time.out"; then
        echo "tarnwick found changes in unchanged pages:" >&2
        grep -v "更新されていません" "$run/tw.time.out" | head -5 >&2
        exit 1
    fi
    if [ -n "${PEERS_STRACE:-}" ]; then
        env TARNWICK_HOME="$run/home" XDG_CONFIG_HOME="$run/config" \
            XDG_RUNTIME_DIR="$run/runtime" XDG_DATA_HOME="$run/data" \
            strace -f -c -o "$run/strace" -e trace=clone,clone3,socket,socketpair,connect,mkdir,mkdirat \
            "$tarnwick" --headless --until-idle >/dev/null 2>&1
        echo "system calls of a round of $n (strace -f -c):"
        # Columns: % time, seconds, usecs/call, calls, [errors,] name.
        awk '$NF ~ /^(clone3?|socket|socketpair|connect|mkdir|mkdirat)$/ {
                 printf "  %-11s %s\n", $NF, $4 }' "$run/strace"
    fi
    read -r tw_wall tw_user tw_sys tw_rss < "$run/tw.time"
    read -r uw_wall uw_user uw_sys uw_rss < "$run/uw.time"
    echo "$n $tw_wall $tw_user $tw_sys $tw_rss $uw_wall $uw_user $uw_sys $uw_rss" >> "$summary"
done

python3 - "$summary" <<'EOF'
import sys
rows = [list(map(float, line.split())) for line in open(sys.argv[1])]
print(f"{'N':>5} {'':9} {'wall s':>8} {'CPU s':>8} {'RSS MB':>8}   per item: {'wall ms':>8} {'CPU ms':>8}")
for n, tw_wall, tw_user, tw_sys, tw_rss, uw_wall, uw_user, uw_sys, uw_rss in rows:
    n = int(n)
    tw_cpu, uw_cpu = tw_user + tw_sys, uw_user + uw_sys
    for label, wall, cpu, rss in (("tarnwick", tw_wall, tw_cpu, tw_rss),
                                  ("urlwatch", uw_wall, uw_cpu, uw_rss)):
        print(f"{n:>5} {label:9} {wall:8.2f} {cpu:8.2f} {rss / 1024:8.1f}   "
              f"{'':9} {wall / n * 1000:8.3f} {cpu / n * 1000:8.3f}")
    ratio = lambda a, b: a / b if b > 0 else float("inf")
    print(f"{n:>5} {'ratio':9} {ratio(tw_wall, uw_wall):8.3f} {ratio(tw_cpu, uw_cpu):8.3f} "
          f"{ratio(tw_rss, uw_rss):8.3f}   (target: wall <= 0.1)")
    print(f"{n:>5} {'targets':9} wall <= 0.2 ms, CPU <= 0.1 ms per item; peak RSS <= 20 MB")
if len(rows) > 1:
    small = min(rows, key=lambda r: r[0])
    large = max(rows, key=lambda r: r[0])
    per = lambda r, v: v / r[0]
    wall = per(large, large[1]) / per(small, small[1])
    cpu = per(large, large[2] + large[3]) / per(small, small[2] + small[3])
    print(f"tarnwick per-item cost at N={int(large[0])} over N={int(small[0])}: "
          f"wall {wall:.2f}x, CPU {cpu:.2f}x (target <= 2)")
EOF
