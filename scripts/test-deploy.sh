#!/usr/bin/env bash
# The TLS and scale-out recipe of docs/deploy.md, run on loopback: 3
# instances of the service (Release build in build-package/) behind nginx,
# which terminates TLS with a self-signed certificate made here and balances
# over them. Concurrent imports into PostgreSQL go through nginx; one
# instance is killed in the middle. Every import answered with success must
# be complete in the database, every other must have left nothing.
#
#   source build-test/test-databases.env   (or the shared test servers' file)
#   scripts/test-deploy.sh [--imports N] [--rows N]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
run=$root/build-package/deploy-run
imports=24
rows=20000
while [[ $# -gt 0 ]]; do
  case $1 in
    --imports) imports=$2; shift 2 ;;
    --rows) rows=$2; shift 2 ;;
    *) echo "usage: $0 [--imports N] [--rows N]" >&2; exit 2 ;;
  esac
done
die() {
  echo "test-deploy: FAILED: $*" >&2
  exit 1
}
note() { echo "test-deploy: $*"; }
[[ -n ${TANDEMIZE_PG_HOST:-} ]] || die "no PostgreSQL test server (TANDEMIZE_PG_HOST)"

scripts/install-deps.sh --deploy
cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=Release -DTANDEMIZE_TESTS=OFF >/dev/null
cmake --build build-package --target Tandemize_srv -j2 >/dev/null
binary=$root/build-package/Tandemize_srv

rm -rf "$run"
mkdir -p "$run"/envelopes "$run"/answers
pids=()
nginx_pid=
cleanup() {
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  # The master takes its workers with it on SIGTERM (not on SIGKILL).
  if [[ -n $nginx_pid ]]; then
    kill -TERM "$nginx_pid" 2>/dev/null || true
    wait "$nginx_pid" 2>/dev/null || true
  fi
}
trap cleanup EXIT
free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# --- certificate and instances -------------------------------------------------
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=localhost \
  -addext subjectAltName=DNS:localhost -keyout "$run/key.pem" -out "$run/cert.pem" 2>/dev/null
cat >"$run/instance.ini" <<INI
[Server]
bind = 127.0.0.1
kinds = PG
hosts = $TANDEMIZE_PG_HOST
stop_timeout = 30
INI
ports=()
for i in 1 2 3; do
  port=$(free_port)
  ports+=("$port")
  "$binary" --config "$run/instance.ini" --port "$port" --log "$run/instance$i.log" \
    </dev/null >"$run/instance$i.out" 2>&1 &
  pids+=($!)
done
for i in 1 2 3; do
  for _ in $(seq 100); do grep -q "Servidor ativo" "$run/instance$i.out" && break; sleep 0.1; done
  grep -q "Servidor ativo" "$run/instance$i.out" || die "instance $i: $(cat "$run/instance$i.out")"
done

# --- nginx ----------------------------------------------------------------------
tls_port=$(free_port)
sed -e "s|@RUN@|$run|g" -e "s|@TLS_PORT@|$tls_port|g" \
  -e "s|@UPSTREAMS@|server 127.0.0.1:${ports[0]}; server 127.0.0.1:${ports[1]}; server 127.0.0.1:${ports[2]};|" \
  -e "s|@USER@|$([[ $(id -u) -eq 0 ]] && echo "user root;")|" \
  docs/deploy-nginx.conf.in >"$run/nginx.conf"
mkdir -p "$run"/nginx-tmp
nginx -c "$run/nginx.conf" -p "$run" &
nginx_pid=$!
for _ in $(seq 100); do
  curl -sf --cacert "$run/cert.pem" "https://localhost:$tls_port/" >/dev/null && break
  sleep 0.1
done
curl -sf --cacert "$run/cert.pem" "https://localhost:$tls_port/" | grep -q "Servidor Tandemize Ativo" ||
  die "nginx does not reach the service"

# --- the table and the imports ---------------------------------------------------
psql_url="postgresql://$TANDEMIZE_PG_USER:$TANDEMIZE_PG_PASSWORD@$TANDEMIZE_PG_HOST:$TANDEMIZE_PG_PORT/$TANDEMIZE_PG_DATABASE"
sql() { psql -X -q -t -A "$psql_url" -c "$1"; }
sql "DROP TABLE IF EXISTS deploy_recipe; CREATE TABLE deploy_recipe (id INTEGER PRIMARY KEY, batch INTEGER, nome VARCHAR(40))"
python3 - "$run/envelopes" "$imports" "$rows" <<PY
import json, os, sys
folder, imports, rows = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
params = {"tipo_sgdb": 2, "host": "$TANDEMIZE_PG_HOST", "port": int("$TANDEMIZE_PG_PORT"),
          "database": "$TANDEMIZE_PG_DATABASE", "user": "$TANDEMIZE_PG_USER",
          "password": "$TANDEMIZE_PG_PASSWORD"}
for b in range(imports):
    data = [{"id": b * rows + r, "batch": b, "nome": "row %d of batch %d" % (r, b)} for r in range(rows)]
    envelope = {"params": params,
                "headers": {"teble_name": "deploy_recipe", "pks": ["id"], "fields": ["batch", "nome"]},
                "tandemize": {"structure": [
                    {"fieldName": "id", "dataType": "ftInteger", "size": 0},
                    {"fieldName": "batch", "dataType": "ftInteger", "size": 0},
                    {"fieldName": "nome", "dataType": "ftString", "size": 40}], "data": data}}
    with open(os.path.join(folder, "%03d.json" % b), "w") as f:
        json.dump(envelope, f)
PY

note "$imports imports of $rows rows through https://localhost:$tls_port, 6 at a time"
export run tls_port
seq -f %03g 0 $((imports - 1)) | xargs -P 6 -I{} sh -c \
  'curl -s --cacert "$run/cert.pem" -u tulip:tulip -H "Content-Type: application/octet-stream" \
     --max-time 300 -o "$run/answers/{}.body" -w "%{http_code}" \
     --data-binary @"$run/envelopes/{}.json" "https://localhost:$tls_port/tandemize" \
     >"$run/answers/{}.status" || true' &
clients=$!
# Kill one instance while it serves an import: once nginx holds a connection
# to it (the request has been handed over, its answer not yet written), after
# a quarter of the imports have started.
for _ in $(seq 600); do
  [[ $(ls "$run/answers" | grep -c '\.status$' || true) -ge $((imports / 4)) ]] && break
  sleep 0.1
done
for _ in $(seq 3000); do
  [[ -n $(ss -Htn state established "( sport = :${ports[1]} )") ]] && break
  sleep 0.01
done
kill -KILL "${pids[1]}"
wait "${pids[1]}" 2>/dev/null || true
note "instance 2 killed while serving"
wait "$clients"

# --- every answer against the database -------------------------------------------
succeeded=0 failed=0 seen=
for ((b = 0; b < imports; b++)); do
  name=$(printf %03d "$b")
  status=$(cat "$run/answers/$name.status" 2>/dev/null || echo none)
  body=$(cat "$run/answers/$name.body" 2>/dev/null || true)
  count=$(sql "SELECT COUNT(*) FROM deploy_recipe WHERE batch = $b")
  if [[ $status == 200 && $body == '{"success":true,"message":"Dados Importado com sucesso!"}' ]]; then
    [[ $count -eq $rows ]] || die "import $b answered success but holds $count of $rows rows"
    succeeded=$((succeeded + 1))
  else
    [[ $count -eq 0 ]] || die "import $b answered $status $body but left $count rows"
    failed=$((failed + 1))
    seen+=" $status"
  fi
done
note "$succeeded imports complete, $failed failed (HTTP status:$seen) and left nothing"
[[ $succeeded -gt 0 ]] || die "no import succeeded"
[[ $failed -gt 0 ]] || die "the kill cut no import: nothing was shown (try more --rows)"
sql "DROP TABLE deploy_recipe"
note OK
