#!/usr/bin/env bash
# The whole story on one machine, each step with its time:
#   set up and build; generate a sample client (a few hundred files, tens of MB, three download
#   stages); make a signing key pair (kztool key generate, once per work folder); publish it signed with
#   kzpublish --sign-key and check the tree against its manifest (kztool release verify); serve it with
#   nginx on a free loopback port; install it with kzlaunch --trusted-keys into a fresh folder and check
#   it with kztool verify against the signed release; publish version 2 (changed, added and removed
#   files) with --previous, signed as the next release; update with kzlaunch; verify again.
# DEMO_DIR chooses the work folder (default: a new one under /tmp); KZ_DEMO_UNTIL=install stops after
# the install and its check.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
demo=${DEMO_DIR:-$(mktemp -d /tmp/kzpatch-demo.XXXXXX)}
start_ns=$(date +%s%N)
step_name=setup
nginx_pid=

elapsed() {
  local ms=$(( ($(date +%s%N) - start_ns) / 1000000 ))
  printf '%d.%d s' $((ms / 1000)) $((ms % 1000 / 100))
}
step() {
  step_name=$*
  printf '\n== [%s] %s\n' "$(elapsed)" "$*"
}
finish() {
  local status=$?
  if [ -n "$nginx_pid" ]; then
    kill "$nginx_pid" 2>/dev/null || true
    wait "$nginx_pid" 2>/dev/null || true
  fi
  if [ $status -ne 0 ]; then
    printf '\ndemo FAILED at "%s" after %s (work folder %s)\n' "$step_name" "$(elapsed)" "$demo" >&2
  fi
}
trap finish EXIT

step "set up and build (scripts/setup.sh)"
scripts/setup.sh >"$demo/setup.log" 2>&1 || { tail -20 "$demo/setup.log" >&2; exit 1; }
# nginx's workers read the tree as an unprivileged user.
chmod 755 "$demo"

step "generate the sample client, versions 1 and 2"
python3 - "$demo" <<'EOF'
import os, random, shutil, sys
demo = sys.argv[1]
rng = random.Random(2024)
def write(path, size):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    # Half noise, half repetition: roughly as compressible as game data.
    noise = rng.randbytes(size // 2)
    with open(path, "wb") as f:
        f.write(noise + noise[: size // 8] * 4)
v1 = os.path.join(demo, "client-v1")
for i in range(120):
    write(os.path.join(v1, "shaders", "s%03d.fx" % i), rng.randint(2000, 40000))
for i in range(140):
    write(os.path.join(v1, "maps", "area%d" % (i // 20), "m%03d.map" % i), rng.randint(60000, 300000))
for i in range(60):
    write(os.path.join(v1, "sound", "t%03d.ogg" % i), rng.randint(50000, 250000))
v2 = os.path.join(demo, "client-v2")
shutil.copytree(v1, v2)
for i in range(0, 140, 14):
    write(os.path.join(v2, "maps", "area%d" % (i // 20), "m%03d.map" % i), rng.randint(60000, 300000))
for i in range(5):
    os.remove(os.path.join(v2, "sound", "t%03d.ogg" % (i * 7)))
    write(os.path.join(v2, "sound", "new%d.ogg" % i), rng.randint(50000, 250000))
os.makedirs(os.path.join(demo, "app", "Contents", "MacOS"), exist_ok=True)
with open(os.path.join(demo, "app", "Contents", "Info.plist"), "w") as f:
    f.write("<plist><dict><key>CFBundleName</key><string>Demo</string></dict></plist>\n")
with open(os.path.join(demo, "app", "Contents", "MacOS", "TVKClient"), "w") as f:
    f.write("#!/bin/sh\necho demo client\n")
with open(os.path.join(demo, "stages"), "w") as f:
    f.write("# the client starts once the shaders are in\nshaders/**  0\nmaps/**  1\nsound/**  2\n")
EOF
printf '   version 1: %s files, %s bytes\n' "$(find "$demo/client-v1" -type f | wc -l)" \
  "$(du -sb "$demo/client-v1" | cut -f1)"

step "make the signing key pair (kztool key generate)"
keys="$demo/keys"
mkdir -p "$keys"
if [ ! -f "$keys/release.secret" ]; then
  "$build/kztool" key generate "$keys/release.secret" "$keys/release.public"
else
  echo "   kept the key pair already in $keys"
fi

step "publish version 1, signed (kzpublish --sign-key)"
"$build/kzpublish" "$demo/client-v1" "$demo/server" --app "$demo/app" --stages "$demo/stages" --zip-size 8000000 \
  --sign-key "$keys/release.secret"
"$build/kztool" release verify "$demo/server" "$keys/release.public"

step "serve the tree with nginx on a free loopback port"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir -p "$demo/nginx"
cat >"$demo/nginx/nginx.conf" <<EOF
daemon off;
worker_processes 1;
pid $demo/nginx/nginx.pid;
error_log $demo/nginx/error.log;
events { worker_connections 64; }
http {
  access_log $demo/nginx/access.log;
  client_body_temp_path $demo/nginx/body;
  proxy_temp_path $demo/nginx/proxy;
  fastcgi_temp_path $demo/nginx/fastcgi;
  uwsgi_temp_path $demo/nginx/uwsgi;
  scgi_temp_path $demo/nginx/scgi;
  default_type application/octet-stream;
  server {
    listen 127.0.0.1:$port;
    root $demo/server;
  }
}
EOF
nginx=$(command -v nginx || echo /usr/sbin/nginx)
"$nginx" -p "$demo/nginx" -c "$demo/nginx/nginx.conf" &
nginx_pid=$!
python3 - "$port" <<'EOF'
import socket, sys, time
deadline = time.time() + 10
while True:
    try:
        socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=1).close()
        break
    except OSError:
        if time.time() > deadline:
            sys.exit("nginx did not answer within 10 s")
        time.sleep(0.1)
EOF
echo "   http://127.0.0.1:$port/"
served() { awk '{ sum += $10 } END { print sum + 0 }' "$demo/nginx/access.log"; }

step "install version 1 into a fresh folder (kzlaunch --trusted-keys)"
mkdir -p "$demo/game"
"$build/kzlaunch" "$demo/game" "127.0.0.1:$port" --timeout 600 --trusted-keys "$keys/release.public"
install_bytes=$(served)
install_time=$(elapsed)

step "check the installation against the signed release (kztool verify)"
"$build/kztool" verify "$demo/game" --manifest "$demo/server/Data.manifest" --key "$keys/release.public"
cmp "$demo/game/Data.ccx" "$demo/server/Data.ccx"

if [ "${KZ_DEMO_UNTIL:-}" != install ]; then
  step "publish version 2 over the live tree, signed as the next release (kzpublish --previous)"
  "$build/kzpublish" "$demo/client-v2" "$demo/server" --previous "$demo/server" --stages "$demo/stages" \
    --zip-size 8000000 --sign-key "$keys/release.secret"
  "$build/kztool" release verify "$demo/server" "$keys/release.public"

  step "update to version 2 (kzlaunch)"
  "$build/kzlaunch" "$demo/game" "127.0.0.1:$port" --timeout "${KZ_DEMO_UPDATE_TIMEOUT:-600}" \
    --trusted-keys "$keys/release.public"
  update_bytes=$(( $(served) - install_bytes ))

  step "check the updated installation against version 2 (kztool verify)"
  "$build/kztool" verify "$demo/game" --manifest "$demo/server/Data.manifest" --key "$keys/release.public"
  cmp "$demo/game/Data.ccx" "$demo/server/Data.ccx"
fi

step "done"
printf '   install: %s bytes served, finished at %s\n' "$install_bytes" "$install_time"
[ -n "${update_bytes:-}" ] && printf '   update: %s bytes served\n' "$update_bytes"
printf '   total run time %s; work folder %s\n' "$(elapsed)" "$demo"
