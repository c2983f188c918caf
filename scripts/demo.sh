#!/bin/sh
# The project's run command: a real update of a sample installation.
#
#   scripts/demo.sh                 the updater in its window, as a user starts it
#   scripts/demo.sh --unattended    an unattended run (--nouser) under Xvfb
#   scripts/demo.sh --screenshot F  the window in the middle of the update,
#                                   grabbed under Xvfb into F (PNG)
#
# It installs the dependencies, builds into build-demo/ (with the update
# server on 127.0.0.1), creates version 1 of a sample installation in
# demo/app, publishes version 2 signed with the development key in
# demo/mirror, serves it with nginx on 127.0.0.1 and answers the version,
# news and banner queries with kvupdateserver. Without a display the window
# run becomes an unattended one. Every server it starts is stopped on exit
# and stops by itself after an hour at the latest.
set -eu

cd "$(dirname "$0")/.."
ROOT=$(pwd)
DEMO="$ROOT/demo"
BUILD="$ROOT/build-demo"
HTTP_PORT=${DEMO_HTTP_PORT:-18417}
# Per connection: slow enough to watch the downloads in the window.
RATE=${DEMO_RATE:-800k}
SERVER_LIFETIME=3600
TYPE=client_linux_x86

mode=window
screenshot=""
while [ $# -gt 0 ]; do
    case "$1" in
        --unattended) mode=unattended ;;
        --screenshot)
            [ $# -ge 2 ] || { echo "demo: --screenshot needs a file name" >&2; exit 2; }
            mode=screenshot
            screenshot=$(realpath -m "$2")
            shift ;;
        -h|--help) sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "demo: unknown argument $1 (see --help)" >&2; exit 2 ;;
    esac
    shift
done
if [ "$mode" = window ] && [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "demo: no display; running unattended under Xvfb instead"
    mode=unattended
fi

step() { printf '\n== %s\n' "$*"; }

step "Dependencies"
scripts/install-deps.sh

step "Build (build-demo/)"
targets="update update_lrelease kvsign kvupdateserver"
[ "$mode" = screenshot ] && targets="$targets kve2eprobe"
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVALUNE_UPDATE_SERVER=127.0.0.1 >/dev/null
# shellcheck disable=SC2086
cmake --build "$BUILD" --target $targets

step "Sample installation of version 1 (demo/app)"
rm -rf "$DEMO"
umask 022
mkdir -p "$DEMO/app" "$DEMO/v2" "$DEMO/mirror/2" "$DEMO/nginx/tmp"
APP="$DEMO/app"
cp "$BUILD/src/ui/update" "$APP/"
cp -r "$BUILD/src/ui/translations" "$APP/"

# The client's start script: it notes which version was started.
client_script() {
    cat <<EOF
#!/bin/sh
echo "Korvalune client $1 started" >> "$DEMO/client.log"
EOF
}

write() { mkdir -p "$(dirname "$1")"; cat > "$1"; }

client_script 1.0 | write "$APP/kv3client_runscript.sh"
chmod 755 "$APP/kv3client_runscript.sh"
echo "Korvalune 1.0" | write "$APP/data/readme.txt"
echo "Shared by both versions" | write "$APP/data/unchanged.txt"
head -c 3000000 /dev/urandom | write "$APP/data/maps.pak"
echo "core library 1.0" | write "$APP/lib/libkvcore.so"
echo "Left over from 1.0" | write "$APP/obsolete.txt"

write "$APP/update.ini" <<EOF
[update]
streams=4
EOF
write "$APP/mirrors.ini" <<EOF
[mirrors]
size=1
1\\mirror=local

[local]
url=http://127.0.0.1:$HTTP_PORT/
retries=3
EOF

step "Version 2, signed with the development key (demo/mirror/2)"
client_script 2.0 | write "$DEMO/v2/kv3client_runscript.sh"
echo "Korvalune 2.0: new maps, faster start" | write "$DEMO/v2/data/readme.txt"
cp "$APP/data/unchanged.txt" "$DEMO/v2/data/unchanged.txt"
echo "New in 2.0" | write "$DEMO/v2/data/new_in_2.txt"
head -c 4000000 /dev/urandom | write "$DEMO/v2/data/maps.pak"
head -c 4000000 /dev/urandom | write "$DEMO/v2/data/textures.pak"
echo "core library 2.0" | write "$DEMO/v2/lib/libkvcore.so"

md5() { md5sum "$1" | cut -d' ' -f1; }
size() { stat -c %s "$1"; }
MIRROR="$DEMO/mirror/2"
INI="$MIRROR/$TYPE.ini"

# A plain file: "md5::size", installed as downloaded.
plain() {
    mkdir -p "$(dirname "$MIRROR/$1/$2")"
    cp "$DEMO/v2/$2" "$MIRROR/$1/$2"
    printf '%s="%s::%s"\n' "$2" "$(md5 "$MIRROR/$1/$2")" "$(size "$MIRROR/$1/$2")" >> "$INI"
}
# A gzip-packed file: "md5::size::md5::size::destination", unpacked on install.
packed() {
    mkdir -p "$(dirname "$MIRROR/$1/$2.gz")"
    gzip -n -c "$DEMO/v2/$2" > "$MIRROR/$1/$2.gz"
    printf '%s="%s::%s::%s::%s::%s"\n' "$2.gz" "$(md5 "$MIRROR/$1/$2.gz")" "$(size "$MIRROR/$1/$2.gz")" \
        "$(md5 "$DEMO/v2/$2")" "$(size "$DEMO/v2/$2")" "$2" >> "$INI"
}

echo "[client]" > "$INI"
plain client kv3client_runscript.sh
plain client data/readme.txt
plain client data/unchanged.txt
plain client data/new_in_2.txt
echo "[packed]" >> "$INI"
packed packed data/maps.pak
packed packed data/textures.pak
packed packed lib/libkvcore.so
printf '[delete]\nobsolete.txt=\n' >> "$INI"
"$BUILD/tools/kvsign/kvsign" sign "$ROOT/keys/development_private.key" "$INI"
printf '2.0\n- new maps and textures\n- faster start\n- obsolete.txt is gone\n' > "$MIRROR/changelog_client.txt"
sed 's/^/    /' "$INI"

# The banner: 468 x 60, drawn here so the demo needs nothing it cannot make.
mkdir -p "$DEMO/mirror/banner"
python3 - "$DEMO/mirror/banner/spring.png" <<'EOF'
import struct, sys, zlib
W, H = 468, 60
def pixel(x, y):
    t = x / (W - 1)
    r, g, b = int(0x1d + t * 0x40), int(0x2b + t * 0x50), int(0x64 + t * 0x30)
    for cx, cy, s in ((40, 18, 3), (90, 40, 2), (150, 14, 2), (260, 44, 3), (330, 20, 2), (420, 36, 3)):
        if abs(x - cx) ** 0.5 + abs(y - cy) ** 0.5 <= s ** 0.5:
            return (0xff, 0xf6, 0xdc)
    if (x - 230) ** 2 + (y - 30) ** 2 <= 22 ** 2 and (x - 240) ** 2 + (y - 24) ** 2 > 19 ** 2:
        return (0xf4, 0xd5, 0x8d)
    return (r, g, b)
raw = b"".join(b"\0" + bytes(c for x in range(W) for c in pixel(x, y)) for y in range(H))
def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", W, H, 8, 2, 0, 0, 0))
png += chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")
open(sys.argv[1], "wb").write(png)
EOF

step "Servers on 127.0.0.1"
NGINX_PID=""
SERVER_PID=""
stop_servers() {
    [ -n "$SERVER_PID" ] && kill "$SERVER_PID" 2>/dev/null || true
    [ -n "$NGINX_PID" ] && kill "$NGINX_PID" 2>/dev/null || true
    wait 2>/dev/null || true
}
trap stop_servers EXIT
trap 'exit 130' INT TERM

# As root, nginx would hand the requests to "nobody", which may not reach
# a checkout below a private home directory.
nginx_user=""
[ "$(id -u)" -eq 0 ] && nginx_user="user root;"
write "$DEMO/nginx/nginx.conf" <<EOF
$nginx_user
daemon off;
worker_processes 1;
pid $DEMO/nginx/nginx.pid;
error_log $DEMO/nginx/error.log warn;
events { worker_connections 64; }
http {
    access_log $DEMO/nginx/access.log;
    client_body_temp_path $DEMO/nginx/tmp/body;
    proxy_temp_path $DEMO/nginx/tmp/proxy;
    fastcgi_temp_path $DEMO/nginx/tmp/fastcgi;
    uwsgi_temp_path $DEMO/nginx/tmp/uwsgi;
    scgi_temp_path $DEMO/nginx/tmp/scgi;
    types { image/png png; text/plain txt ini; }
    default_type application/octet-stream;
    server {
        listen 127.0.0.1:$HTTP_PORT;
        root $DEMO/mirror;
        location / { limit_rate $RATE; }
    }
}
EOF
timeout "$SERVER_LIFETIME" nginx -e "$DEMO/nginx/error.log" -p "$DEMO/nginx" -c "$DEMO/nginx/nginx.conf" &
NGINX_PID=$!
tries=0
until curl -sf -o /dev/null "http://127.0.0.1:$HTTP_PORT/2/$TYPE.ini"; do
    tries=$((tries + 1))
    if [ $tries -gt 50 ] || ! kill -0 "$NGINX_PID" 2>/dev/null; then
        echo "demo: nginx did not start:" >&2
        cat "$DEMO/nginx/error.log" >&2
        exit 1
    fi
    sleep 0.1
done
echo "mirror: http://127.0.0.1:$HTTP_PORT/ (nginx, $RATE/s per connection)"

NEWS='<!--URL=https://www.korvalune.example/news/2.0-->Korvalune 2.0 is out: <a href="https://www.korvalune.example/2.0">new maps and textures</a> and a faster start.'
"$BUILD/tools/kvupdateserver/kvupdateserver" --lifetime "$SERVER_LIFETIME" \
    --versions "2#2.0,2#2.0,2#2.0" --news "$NEWS" \
    --banner "http://127.0.0.1:$HTTP_PORT/banner/spring.png,https://www.korvalune.example/spring" \
    > "$DEMO/updateserver.out" &
SERVER_PID=$!
tries=0
until grep -q '^ready$' "$DEMO/updateserver.out" 2>/dev/null; do
    tries=$((tries + 1))
    if [ $tries -gt 50 ] || ! kill -0 "$SERVER_PID" 2>/dev/null; then
        echo "demo: kvupdateserver did not start (ports 17384 and 2009 taken?)" >&2
        exit 1
    fi
    sleep 0.1
done
echo "update server: 127.0.0.1 ports 17384 (version, news) and 2009 (banner)"

listing() {
    (cd "$APP" && find . -type f ! -name update ! -path './translations/*' -exec md5sum {} + \
        | sed 's| \./| |' | sort -k2)
}
listing > "$DEMO/before.md5"
# Qt wants a private runtime directory; a root shell often has none.
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
    export XDG_RUNTIME_DIR="$DEMO/runtime"
    mkdir -m 700 "$XDG_RUNTIME_DIR"
fi

status=0
case "$mode" in
    window)
        step "The updater (press \"Start Update\", then \"Start Korvalune\")"
        "$APP/update" || status=$?
        ;;
    unattended)
        step "The updater, unattended, under Xvfb"
        xvfb-run -a -s "-screen 0 1024x768x24" "$APP/update" --nouser "$TYPE" 2 2.0 "$NEWS" || status=$?
        ;;
    screenshot)
        step "The updater under Xvfb, grabbed in the middle of the update"
        rm -f "$screenshot"
        # The test probe drives the window: it shows the log, presses Start
        # and grabs the window once the downloads have run for a while.
        QT_PLUGIN_PATH="$BUILD/tests/e2e/plugins" QT_QPA_GENERIC_PLUGINS=kve2eprobe \
            KV_PROBE_LOG="$DEMO/probe.log" KV_PROBE_COMMANDS="$DEMO/probe.commands" \
            KV_PROBE_ON_SHOW="click detailsButton;click startButton" \
            KV_PROBE_SCREENSHOT="$screenshot" KV_PROBE_SCREENSHOT_AFTER=2500 KV_PROBE_LIFETIME=120000 \
            xvfb-run -a -s "-screen 0 1024x768x24" "$APP/update" &
        UPDATE_PID=$!
        # Once the run has finished, the start button starts the client and
        # closes the window; until then it is disabled and a click does nothing.
        while kill -0 "$UPDATE_PID" 2>/dev/null; do
            echo "click startButton" >> "$DEMO/probe.commands"
            sleep 0.5
        done
        wait "$UPDATE_PID" || status=$?
        if [ -f "$screenshot" ]; then echo "screenshot: $screenshot"; else echo "demo: no screenshot taken" >&2; status=1; fi
        ;;
esac
echo "updater exit code: $status"

step "What changed in demo/app"
listing > "$DEMO/after.md5"
python3 - "$DEMO/before.md5" "$DEMO/after.md5" <<'EOF'
import sys
def read(path):
    return {line.split(None, 1)[1].strip(): line.split(None, 1)[0] for line in open(path) if line.strip()}
before, after = read(sys.argv[1]), read(sys.argv[2])
for name in sorted(set(before) | set(after)):
    if name not in after:
        print("  deleted   " + name)
    elif name not in before:
        print("  added     " + name)
    elif before[name] != after[name]:
        print("  replaced  " + name)
    else:
        print("  kept      " + name)
EOF
if [ -f "$DEMO/client.log" ]; then
    # The updater starts the client detached; give it a moment to write.
    sleep 0.5
    echo "client start: $(cat "$DEMO/client.log")"
else
    echo "client start: none"
fi
exit "$status"
