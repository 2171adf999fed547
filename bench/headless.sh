#!/bin/sh
# `tarnwick --headless --until-idle` over N unchanged pages (about 27 KB each) served by a local
# nginx on 127.0.0.1, for one or more builds of the program: a first round fills the stored
# copies, then R measured rounds each (wall time, CPU time, peak RSS through /usr/bin/time);
# the median round of each build is printed. Use it to compare a change with the build before.
#
#   bench/headless.sh N BINARY [BINARY ...]      e.g. bench/headless.sh 1000 old/tarnwick new/tarnwick
#
# ROUNDS sets R (default 5). Measured rounds alternate between the builds.
set -eu

[ $# -ge 2 ] || { echo "usage: $0 N BINARY [BINARY ...]" >&2; exit 2; }
n=$1
shift
rounds=${ROUNDS:-5}
[ -x /usr/bin/time ] || { echo "/usr/bin/time missing (package time)" >&2; exit 1; }
nginx=$(command -v nginx || echo /usr/sbin/nginx)
[ -x "$nginx" ] || { echo "nginx missing (package nginx-light)" >&2; exit 1; }

root=$(mktemp -d /tmp/tw-bench-XXXXXX)
chmod 755 "$root"
nginx_pid=
cleanup() {
    [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null
    rm -rf "$root"
}
trap cleanup EXIT INT TERM

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
mkdir -p "$root/www" "$root/nginx"
user_line=
[ "$(id -u)" -eq 0 ] && user_line="user root root;"
cat > "$root/nginx/nginx.conf" <<CONF
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
CONF
"$nginx" -c "$root/nginx/nginx.conf" -p "$root/nginx" -g 'daemon off;' &
nginx_pid=$!

python3 - "$root/www" "$n" <<'PY'
import os, random, sys
folder, count = sys.argv[1], int(sys.argv[2])
rng = random.Random(7)
words = ["news", "update", "price", "release", "notice", "archive", "event", "report"]
for i in range(count):
    rows, size = [], 0
    while size < 27 * 1024:
        row = f"<tr><td>{i}</td><td>{' '.join(rng.choice(words) for _ in range(12))}</td></tr>\n"
        rows.append(row)
        size += len(row)
    with open(os.path.join(folder, f"page{i}.html"), "w") as f:
        f.write(f"<html><head><title>Page {i}</title></head><body><table>\n")
        f.write("".join(rows))
        f.write("</table></body></html>\n")
PY
for _ in $(seq 50); do
    python3 -c "import socket; socket.create_connection(('127.0.0.1', $port), 0.2).close()" \
        2>/dev/null && break
    sleep 0.1
done

run_tarnwick() { # index binary
    run=$root/run$1
    env TARNWICK_HOME="$run/home" XDG_CONFIG_HOME="$run/config" XDG_RUNTIME_DIR="$run/runtime" \
        XDG_DATA_HOME="$run/data" "$2" --headless --until-idle
}

# Each build gets its own data folders; its first round fills the stored copies.
index=0
for binary in "$@"; do
    index=$((index + 1))
    run=$root/run$index
    mkdir -p "$run/home" "$run/config" "$run/runtime"
    chmod 700 "$run/runtime"
    python3 - "$run" "$n" "$port" <<'PY'
import sys
run, count, port = sys.argv[1], int(sys.argv[2]), sys.argv[3]
with open(f"{run}/home/WatchList.twl", "wb") as f:
    for i in range(count):
        block = ["\t//{{TOP-W", "\t//{{TOP", f"Targ: http://127.0.0.1:{port}/page{i}.html",
                 f"Name: page{i}", "\tEND}}//", "Timi: open", "\tEND-W}}//"]
        f.write("".join(line + "\r\n" for line in block).encode())
PY
    run_tarnwick "$index" "$binary" >/dev/null 2>&1
done

# Measured rounds alternate between the builds, so that a busy machine burdens all alike.
summary=$root/summary
: > "$summary"
for r in $(seq "$rounds"); do
    index=0
    for binary in "$@"; do
        index=$((index + 1))
        run=$root/run$index
        /usr/bin/time -f '%e %U %S %M' -o "$run/time" env TARNWICK_HOME="$run/home" \
            XDG_CONFIG_HOME="$run/config" XDG_RUNTIME_DIR="$run/runtime" \
            XDG_DATA_HOME="$run/data" "$binary" --headless --until-idle >"$run/out" 2>"$run/err" ||
            { echo "failed: $binary" >&2; cat "$run/err" >&2; exit 1; }
        checked=$(grep -c . "$run/out" || true)
        [ "$checked" -eq "$n" ] || { echo "$binary checked $checked of $n pages" >&2; exit 1; }
        echo "$index $(cat "$run/time")" >> "$summary"
    done
done

python3 - "$summary" "$n" "$@" <<'PY'
import statistics, sys
summary, n, binaries = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
rows = [line.split() for line in open(summary)]
print(f"N={n}, median of {len(rows) // len(binaries)} rounds")
print(f"{'wall s':>8} {'CPU s':>8} {'RSS MB':>8}  binary")
for index, binary in enumerate(binaries, 1):
    mine = [list(map(float, r[1:])) for r in rows if int(r[0]) == index]
    wall = statistics.median(r[0] for r in mine)
    cpu = statistics.median(r[1] + r[2] for r in mine)
    rss = statistics.median(r[3] for r in mine) / 1024
    print(f"{wall:8.2f} {cpu:8.2f} {rss:8.1f}  {binary}")
PY
