#!/usr/bin/env bash
# Import and HTTP benchmarks of the Release service, each figure a ratio
# against a baseline measured in the same run (medians of BENCH_RUNS runs):
#
#   import   direct client (bench/direct_clients.cpp: the service's statements
#            through the kind's own client library) vs the service, JSON
#            envelope and binary stream posted over loopback
#   HTTP     GET /checkrequest vs nginx serving a 60-byte JSON file, wrk,
#            16 connections, 10 s, one request per connection on both sides
#   memory   the service's peak resident memory (VmHWM, a fresh service per
#            measurement) during a 100,000-row import, per body byte: SQLite,
#            and PG with pg_upsert pipelined and set
#
# Installs what is missing (scripts/install-deps.sh --test --bench), uses the
# test database servers (started when they are not up), builds into
# build-bench/ and prints one Markdown table.
#
#   latency  PG imports through bench/delay_proxy at several round trips:
#            the COPY + INSERT ... ON CONFLICT anchor against the service with
#            pg_upsert sequential, pipelined and set, JSON and binary
#
# Environment: BENCH_ONLY ("import http memory latency"), BENCH_LATENCY_RTTS
# ("0 0.5 5", milliseconds), BENCH_LATENCY_ROWS (100000), BENCH_LATENCY_SEQ_ROWS
# ("100000 10000 2000", the rows the sequential way runs at each round trip,
# its time scaled to BENCH_LATENCY_ROWS), BENCH_LATENCY_RUNS (1), BENCH_RUNS (5), BENCH_SQLITE_ROWS ("10000 100000"),
# BENCH_PG_ROWS ("10000 20000 100000"), BENCH_MYSQL_ROWS ("10000"), BENCH_KINDS
# ("sqlite pg mysql"), BENCH_HTTP_SECONDS (10). MariaDB, the slowest server
# here at about 0.5 ms a row, runs 10,000 rows unless told more.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build-bench
run=$build/run
runs=${BENCH_RUNS:-5}
sqlite_rows=${BENCH_SQLITE_ROWS:-10000 100000}
pg_rows=${BENCH_PG_ROWS:-10000 20000 100000}
mysql_rows=${BENCH_MYSQL_ROWS:-10000}
kinds=${BENCH_KINDS:-sqlite pg mysql}
http_seconds=${BENCH_HTTP_SECONDS:-10}
readonly kAuth="Authorization: Basic dHVsaXA6dHVsaXA="
readonly kXRequest='x-request: {"params":{},"headers":{}}'

note() { echo "bench: $*" >&2; }
die() {
  echo "bench: FAILED: $*" >&2
  exit 1
}

# --- set-up -----------------------------------------------------------------
scripts/install-deps.sh --test --bench

# The test servers are shared with whoever else runs tests on this machine:
# reuse them when they answer, start them otherwise.
port_busy() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
env_file=$root/build-test/test-databases.env
if [[ ! -s $env_file ]] || ! port_busy 55432 || ! port_busy 33306; then
  bash scripts/test-databases.sh start >&2
fi
# shellcheck disable=SC1090
source "$env_file"

note "building into $build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTANDEMIZE_BENCH=ON \
  -DTANDEMIZE_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target Tandemize_srv import_bench bench_port_shim delay_proxy >/dev/null
only=${BENCH_ONLY:-import http memory latency}
wants() { [[ " $only " == *" $1 "* ]]; }

mkdir -p "$run"
bench_bin=$build/bench/import_bench

free_port() {
  local port=$1
  while port_busy "$port"; do port=$((port + 1)); done
  echo "$port"
}

# Our own processes only; stopped on exit whatever happens.
service_pid="" nginx_pid=""
stop_pid() {
  local pid=$1
  [[ -n $pid ]] && kill -0 "$pid" 2>/dev/null || return 0
  kill -TERM "$pid" 2>/dev/null || true
  for _ in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
}
latency_pids=()
cleanup() {
  stop_pid "$service_pid"
  stop_pid "$nginx_pid"
  for pid in "${latency_pids[@]}"; do stop_pid "$pid"; done
}
trap cleanup EXIT

# Waits up to 10 s for the service just started to listen on $service_port.
wait_for_service() {
  for _ in $(seq 100); do
    port_busy "$service_port" && return 0
    sleep 0.1
  done
  die "the service did not start (see $run/service.log)"
}
# Starts a fresh service on a free port (the fixed port moved by the shim).
start_service() {
  service_port=$(free_port 19095)
  TANDEMIZE_BENCH_PORT=$service_port LD_PRELOAD=$build/bench/libbench_port_shim.so \
    "$build/Tandemize_srv" >"$run/service.log" 2>&1 </dev/null &
  service_pid=$!
  wait_for_service
}
stop_service() {
  stop_pid "$service_pid"
  service_pid=""
}
# Starts a fresh service whose PG imports go the way $1 (pg_upsert).
start_mode_service() {
  service_port=$(free_port 19095)
  printf '[Server]\nport=%s\nbind=127.0.0.1\npg_upsert=%s\n' "$service_port" "$1" >"$run/memory-$1.ini"
  "$build/Tandemize_srv" --config "$run/memory-$1.ini" >"$run/service.log" 2>&1 </dev/null &
  service_pid=$!
  wait_for_service
}

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }

# --- import times -----------------------------------------------------------
results=()
if wants import; then
start_service
for kind in $kinds; do
  case $kind in
    sqlite) counts=$sqlite_rows ;;
    pg) counts=$pg_rows ;;
    *) counts=$mysql_rows ;;
  esac
  for rows in $counts; do
    note "import: $kind, $rows rows, $runs runs"
    while read -r tag k n case direct json binary; do
      [[ $tag == RESULT ]] && results+=("$k $n $case $direct $json $binary")
    done < <("$bench_bin" time --kind "$kind" --rows "$rows" --runs "$runs" \
      --port "$service_port" --db "$run/bench.db")
  done
done
stop_service
fi

# --- HTTP: /checkrequest against nginx --------------------------------------
wrk_rate() {  # url, extra header
  wrk -t2 -c16 -d"${http_seconds}s" -H "Connection: close" -H "$kAuth" -H "$2" "$1" |
    awk '/Requests\/sec:/ {print $2} /Non-2xx/ {bad = 1} END {if (bad) exit 1}'
}
if wants http; then
note "HTTP: nginx and the service, $runs runs of ${http_seconds} s each"
mkdir -p "$run/www"
printf '{"can_header":true,"ide":"C++","padding":"0123456789012345"}' >"$run/www/checkrequest.json"
[[ $(stat -c %s "$run/www/checkrequest.json") == 60 ]] || die "the static file is not 60 bytes"
nginx_port=$(free_port 18080)
user_line=""
[[ $(id -u) -eq 0 ]] && user_line="user $(id -un);"
sed -e "s|@RUN@|$run|g" -e "s|@PORT@|$nginx_port|g" -e "s|@USER@|$user_line|g" \
  bench/nginx.conf.in >"$run/nginx.conf"
nginx -p "$run" -c "$run/nginx.conf" >"$run/nginx.log" 2>&1 &
nginx_pid=$!
start_service
for _ in $(seq 50); do port_busy "$nginx_port" && break; sleep 0.1; done
nginx_rates=() service_rates=()
for _ in $(seq "$runs"); do
  nginx_rates+=("$(wrk_rate "http://127.0.0.1:$nginx_port/checkrequest" "$kXRequest")")
  service_rates+=("$(wrk_rate "http://127.0.0.1:$service_port/checkrequest" "$kXRequest")")
done
stop_service
stop_pid "$nginx_pid"
nginx_pid=""
nginx_rps=$(printf '%s\n' "${nginx_rates[@]}" | median)
service_rps=$(printf '%s\n' "${service_rates[@]}" | median)
fi

# --- memory: 100,000-row imports, a fresh service each time ------------------
# Each measurement is "<kind>:<pg_upsert way>:<format>".
declare -A memory_ratio memory_body memory_peak
memory_cases=""
wants memory && memory_cases="sqlite:pipelined:json sqlite:pipelined:binary pg:pipelined:json
  pg:pipelined:binary pg:set:json pg:set:binary"
for case in $memory_cases; do
  IFS=: read -r kind way format <<<"$case"
  note "memory: $kind ($way), $format, $runs runs"
  ratios=() peaks=()
  for _ in $(seq "$runs"); do
    if [[ $kind == sqlite ]]; then start_service; else start_mode_service "$way"; fi
    read -r _ _ body peak < <("$bench_bin" memory --kind "$kind" --rows 100000 --format "$format" \
      --port "$service_port" --pid "$service_pid" --db "$run/bench.db")
    stop_service
    ratios+=("$(awk -v p="$peak" -v b="$body" 'BEGIN {print p * 1024 / b}')")
    peaks+=("$peak")
  done
  memory_ratio[$case]=$(printf '%s\n' "${ratios[@]}" | median)
  memory_peak[$case]=$(printf '%s\n' "${peaks[@]}" | median)
  memory_body[$case]=$body
done

# --- latency: PG through the delay proxy --------------------------------------
latency_results=()
if wants latency; then
  latency_rows=${BENCH_LATENCY_ROWS:-100000}
  read -r -a latency_rtts <<<"${BENCH_LATENCY_RTTS:-0 0.5 5}"
  read -r -a latency_seq <<<"${BENCH_LATENCY_SEQ_ROWS:-100000 10000 2000}"
  latency_runs=${BENCH_LATENCY_RUNS:-1}
  ports=()
  for mode in sequential pipelined set; do
    port=$(free_port $((19195 + ${#ports[@]} * 10)))
    printf '[Server]\nport=%s\nbind=127.0.0.1\npg_upsert=%s\n' "$port" "$mode" >"$run/$mode.ini"
    "$build/Tandemize_srv" --config "$run/$mode.ini" >"$run/$mode.log" 2>&1 </dev/null &
    latency_pids+=($!)
    ports+=("$port")
  done
  for port in "${ports[@]}"; do
    for _ in $(seq 100); do port_busy "$port" && break; sleep 0.1; done
    port_busy "$port" || die "a latency service did not start (see $run/*.log)"
  done
  pg_port=$TANDEMIZE_PG_PORT
  for i in "${!latency_rtts[@]}"; do
    rtt=${latency_rtts[$i]}
    seq_rows=${latency_seq[$i]:-${latency_seq[-1]}}
    proxy_pid=""
    through=$pg_port
    if [[ $rtt != 0 ]]; then
      through=$(free_port 25432)
      delay_us=$(awk -v r="$rtt" 'BEGIN {printf "%d", r * 1000 / 2}')
      "$build/bench/delay_proxy" --listen "$through" --to "$pg_port" --delay-us "$delay_us" \
        --seconds 3600 &
      proxy_pid=$!
      latency_pids+=("$proxy_pid")
      for _ in $(seq 50); do port_busy "$through" && break; sleep 0.1; done
    fi
    note "latency: PG at ${rtt} ms round trip, $latency_rows rows (sequential: $seq_rows), load $(uptime | sed 's/.*average: //')"
    while read -r tag r n case srows copy sj sb pj pb tj tb; do
      [[ $tag == LATENCY ]] &&
        latency_results+=("$r $n $case $srows $copy $sj $sb $pj $pb $tj $tb")
    done < <(TANDEMIZE_PG_PORT=$through "$bench_bin" latency --kind pg --rows "$latency_rows" \
      --seq-rows "$seq_rows" --runs "$latency_runs" --rtt "$rtt" --ports "$(IFS=,; echo "${ports[*]}")")
    stop_pid "$proxy_pid"
  done
  for pid in "${latency_pids[@]}"; do stop_pid "$pid"; done
  latency_pids=()
fi

# --- the table --------------------------------------------------------------
echo
echo "| Figure | Baseline | Service | Ratio |"
echo "|---|---|---|---|"
for line in "${results[@]}"; do
  read -r kind rows case direct json binary <<<"$line"
  for way in json binary; do
    if [[ $way == json ]]; then t=$json; else t=$binary; fi
    printf '| %s, %s rows, %s, %s | direct %.3f s | %.3f s | %sx |\n' "$kind" "$rows" "$case" \
      "$way" "$direct" "$t" "$(ratio "$t" "$direct")"
  done
done
wants http && printf '| GET /checkrequest, wrk 16 connections %s s | nginx %.0f req/s | %.0f req/s | %sx |\n' \
  "$http_seconds" "$nginx_rps" "$service_rps" "$(ratio "$service_rps" "$nginx_rps")"
for case in $memory_cases; do
  IFS=: read -r kind way format <<<"$case"
  label="$kind"
  [[ $kind == pg ]] && label="pg $way"
  printf '| peak memory, 100,000-row %s import, %s | body %.1f MB | VmHWM %.1f MB | %.2fx body |\n' \
    "$label" "$format" "$(awk -v b="${memory_body[$case]}" 'BEGIN {print b / 1e6}')" \
    "$(awk -v p="${memory_peak[$case]}" 'BEGIN {print p * 1024 / 1e6}')" "${memory_ratio[$case]}"
done

if ((${#latency_results[@]})); then
  echo
  echo "PG, ${latency_rows} rows; seconds; in brackets the ratio to the COPY anchor; sequential"
  echo "measured on the rows named and scaled to ${latency_rows}; load: $(uptime | sed 's/.*average: //')"
  echo
  echo "| RTT | case | COPY anchor | sequential json / binary | pipelined json / binary | set json / binary | pipelined vs sequential (json) |"
  echo "|---|---|---|---|---|---|---|"
  for line in "${latency_results[@]}"; do
    read -r r n case srows copy sj sb pj pb tj tb <<<"$line"
    printf '| %s ms | %s | %.2f s | %.2f / %.2f s (%sx)%s | %.2f / %.2f s (%sx) | %.2f / %.2f s (%sx) | %sx faster |\n' \
      "$r" "$case" "$copy" "$sj" "$sb" "$(ratio "$sj" "$copy")" \
      "$([[ $srows != "$n" ]] && echo ", $srows rows")" "$pj" "$pb" "$(ratio "$pj" "$copy")" \
      "$tj" "$tb" "$(ratio "$tj" "$copy")" "$(ratio "$sj" "$pj")"
  done
fi
