#!/usr/bin/env bash
# Soak run of the service on loopback, bounded in time (about 7 minutes with
# the defaults). Builds the service in Release into build-soak/, starts it on
# its port 9095 and then:
#   1. wrk, 64 connections for 60 s, on GET /checkrequest with credentials;
#   2. concurrent imports into SQLite for 5 minutes (bench/soak/soak_client.cpp:
#      4 clients, JSON and binary alternately, keys whose final values are
#      known), sampling the service's VmRSS every 5 s.
# Prints a summary and exits non-zero when a promise is broken: the service
# ended, an answer other than 200 or the 500 of the concurrency cap (or no
# answer), a row lost, changed or doubled, or resident memory at the end of
# the imports more than 10% away from its level after their first minute.
#
#   scripts/soak.sh [--minutes N] [--wrk-seconds N] [--clients N]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build-soak
run=$build/run

minutes=5
wrk_seconds=60
clients=4
while [[ $# -gt 0 ]]; do
  case $1 in
    --minutes) minutes=$2; shift 2 ;;
    --wrk-seconds) wrk_seconds=$2; shift 2 ;;
    --clients) clients=$2; shift 2 ;;
    *) echo "usage: $0 [--minutes N] [--wrk-seconds N] [--clients N]" >&2; exit 2 ;;
  esac
done
import_seconds=$((minutes * 60))
readonly port=9095 auth='Authorization: Basic dHVsaXA6dHVsaXA='
readonly busy_text='Maximum number of concurrent connections exceeded.  Please try again later'

die() {
  echo "soak: FAILED: $*" >&2
  exit 1
}
note() { echo "soak: $*"; }

# --- tools and build -------------------------------------------------------------
scripts/install-deps.sh --bench
for tool in wrk sqlite3 curl; do
  command -v "$tool" >/dev/null || die "$tool is not installed (scripts/install-deps.sh --bench)"
done
(exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && die "port $port is already in use"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTANDEMIZE_TESTS=OFF >/dev/null
ninja -C "$build" -j2 Tandemize_srv tandemize_memtable >/dev/null
g++ -std=c++20 -O2 -I "$root/src" "$root/bench/soak/soak_client.cpp" \
  "$build/src/memtable/libtandemize_memtable.a" "$build/src/text/libtandemize_text.a" \
  -lfmt -lz -pthread -o "$build/soak_client"

rm -rf "$run"
mkdir -p "$run"
for ((c = 0; c < clients; c++)); do
  # No key constraint: a row written twice would show as two rows.
  sqlite3 "$run/soak_$((c % 2)).db" \
    "CREATE TABLE t$c (id INTEGER NOT NULL, nome TEXT); CREATE INDEX t${c}_id ON t$c (id);"
done

# --- the service -------------------------------------------------------------------
service_pid=""
sampler_pid=""
cleanup() {
  [[ -n $sampler_pid ]] && kill "$sampler_pid" 2>/dev/null || true
  if [[ -n $service_pid ]] && kill -0 "$service_pid" 2>/dev/null; then
    kill "$service_pid" 2>/dev/null || true
    wait "$service_pid" 2>/dev/null || true
  fi
}
trap cleanup EXIT

"$build/Tandemize_srv" </dev/null >"$run/service.log" 2>&1 &
service_pid=$!
for _ in $(seq 300); do
  grep -q "Servidor ativo" "$run/service.log" && break
  kill -0 "$service_pid" 2>/dev/null || die "the service ended at start: $(cat "$run/service.log")"
  sleep 0.1
done
grep -q "Servidor ativo" "$run/service.log" || die "no banner from the service"
alive() { kill -0 "$service_pid" 2>/dev/null; }
rss() { awk '/^VmRSS/ {print $2}' "/proc/$service_pid/status"; }

# VmRSS in KiB every 5 s: "<seconds since start> <kB>".
start_time=$(date +%s)
(
  while kill -0 "$service_pid" 2>/dev/null; do
    echo "$(($(date +%s) - start_time)) $(awk '/^VmRSS/ {print $2}' "/proc/$service_pid/status")"
    sleep 5
  done
) >"$run/rss.log" 2>/dev/null &
sampler_pid=$!
broken=()

# --- 1. wrk on /checkrequest ---------------------------------------------------
cat >"$run/statuses.lua" <<EOF
local threads = {}
function setup(thread) table.insert(threads, thread) end
function init(args) ok = 0; busy = 0; other = 0; wrongbody = 0 end
function response(status, headers, body)
  if status == 200 then
    ok = ok + 1
    if body ~= '{"can_header":false,"ide":"C++"}' then wrongbody = wrongbody + 1 end
  elseif status == 500 and body == "$busy_text" then busy = busy + 1
  else other = other + 1 end
end
function done(summary, latency, requests)
  local t = {ok = 0, busy = 0, other = 0, wrongbody = 0}
  for _, thread in ipairs(threads) do
    for k, _ in pairs(t) do t[k] = t[k] + thread:get(k) end
  end
  local e = summary.errors
  io.write(string.format("wrk_status_200 %d\nwrk_status_500_busy %d\nwrk_status_other %d\n",
                         t.ok, t.busy, t.other))
  io.write(string.format("wrk_wrong_body %d\nwrk_errors %d\n", t.wrongbody,
                         e.connect + e.read + e.write + e.timeout))
end
EOF
note "wrk: 64 connections, ${wrk_seconds} s on GET /checkrequest"
wrk -t2 -c64 -d"${wrk_seconds}s" --timeout 10s -H "$auth" -s "$run/statuses.lua" \
  "http://127.0.0.1:$port/checkrequest" >"$run/wrk.txt" 2>&1 || true
wrk_value() { awk -v k="$1" '$1 == k {print $2}' "$run/wrk.txt"; }
wrk_rps=$(awk '/^Requests\/sec/ {print $2}' "$run/wrk.txt")
rss_after_wrk=$(rss || echo 0)
alive || broken+=("the service ended during the wrk run")
[[ $(wrk_value wrk_status_other) == 0 && $(wrk_value wrk_wrong_body) == 0 ]] ||
  broken+=("wrk: answers other than 200 / the 500 of the cap")
[[ $(wrk_value wrk_errors) == 0 ]] || broken+=("wrk: requests without an answer")

# --- 2. imports --------------------------------------------------------------------
note "imports: $clients clients for $import_seconds s"
import_start=$(($(date +%s) - start_time))
"$build/soak_client" "$port" "$import_seconds" "$run" "$clients" >"$run/client.txt"
import_end=$(($(date +%s) - start_time))
alive || broken+=("the service ended during the imports")
client_value() { awk -v k="$1" '$1 == k {print $2}' "$run/client.txt"; }
[[ $(client_value status_other) == 0 ]] || broken+=("imports: answers other than 200 / the 500 of the cap")
[[ $(client_value no_answer) == 0 ]] || broken+=("imports: requests without an answer")

# Resident memory after the first minute of imports and at their end.
rss_at() { awk -v t="$1" '$1 >= t && $2 != "" {print $2; exit}' "$run/rss.log"; }
rss_1min=$(rss_at $((import_start + 60)))
rss_end=$(awk -v t="$import_end" '$1 <= t && $2 != "" {v = $2} END {print v}' "$run/rss.log")
rss_change=$(awk -v a="${rss_1min:-0}" -v b="${rss_end:-0}" 'BEGIN {if (a > 0) printf "%+.1f", (b - a) * 100 / a; else print "n/a"}')
if [[ $rss_change == n/a ]]; then
  broken+=("memory: no sample after the first minute of imports (run at least 2 minutes)")
elif awk -v p="$rss_change" 'BEGIN {exit !(p > 10 || p < -10)}'; then
  broken+=("memory: VmRSS moved ${rss_change}% between the first minute and the end")
fi

# Every table holds exactly the rows its client expects, once each.
rows_total=0
for ((c = 0; c < clients; c++)); do
  db=$run/soak_$((c % 2)).db
  sqlite3 "$db" "SELECT id || '|' || nome FROM t$c ORDER BY id, nome" >"$run/actual_t$c.txt"
  rows=$(wc -l <"$run/actual_t$c.txt")
  rows_total=$((rows_total + rows))
  doubled=$(sqlite3 "$db" "SELECT count(*) - count(DISTINCT id) FROM t$c")
  [[ $doubled == 0 ]] || broken+=("rows: $doubled key(s) of t$c written twice")
  cmp -s "$run/expected_t$c.txt" "$run/actual_t$c.txt" ||
    broken+=("rows: t$c differs from what its client imported ($(diff "$run/expected_t$c.txt" "$run/actual_t$c.txt" | grep -c '^[<>]') lines)")
done

# The service still answers after all of it.
[[ $(curl -s -o /dev/null -w '%{http_code}' --max-time 10 "http://127.0.0.1:$port/") == 200 ]] ||
  broken+=("the service no longer answers GET /")

# --- summary -------------------------------------------------------------------------
cat <<EOF

== soak summary ==
wrk ${wrk_seconds} s, 64 connections, GET /checkrequest
  requests/s           $wrk_rps
  200                  $(wrk_value wrk_status_200)
  500 (cap)            $(wrk_value wrk_status_500_busy)
  other statuses       $(wrk_value wrk_status_other)
  socket errors        $(wrk_value wrk_errors)
imports ${import_seconds} s, $clients clients, $(sed -n 's/^seconds //p' "$run/client.txt") s measured
  imports ok           $(client_value imports_ok) (json $(client_value imports_json), binary $(client_value imports_binary)), $(client_value imports_per_s)/s
  rows written         $(client_value rows_written) ($(client_value rows_per_s)/s)
  500 (cap)            $(client_value status_500_busy)
  verdict false        $(client_value verdict_false)
  other statuses       $(client_value status_other)
  no answer            $(client_value no_answer)
  rows in the tables   $rows_total (distinct keys expected: $(cat "$run"/expected_t*.txt | wc -l))
memory (VmRSS)
  after wrk            ${rss_after_wrk} kB
  imports, 1 min       ${rss_1min:-n/a} kB
  imports, end         ${rss_end:-n/a} kB ($rss_change%)
EOF
grep '^message ' "$run/client.txt" | sed 's/^/  /' || true
if [[ ${#broken[@]} -gt 0 ]]; then
  printf 'BROKEN: %s\n' "${broken[@]}"
  exit 1
fi
echo "all promises kept"
