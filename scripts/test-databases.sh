#!/usr/bin/env bash
# Starts (start) or stops (stop) the database servers the tests use, on
# loopback only, and writes their coordinates to build-test/test-databases.env
# as "export NAME=value" lines.
#
#   PostgreSQL  127.0.0.1:55432  (TANDEMIZE_PG_*)
#   PostgreSQL  127.0.0.1:5432   second cluster for the SQL Server kind: the
#                                ODBC driver registered under a SQL Server
#                                driver name is the PostgreSQL one, and it
#                                connects to 5432 unless told a port
#                                (TANDEMIZE_MSSQL_*)
#   MariaDB     127.0.0.1:33306  (TANDEMIZE_MYSQL_*)
#   Firebird    127.0.0.1:3050   (TANDEMIZE_FB_*, and TANDEMIZE_IB_* for a second
#                                database the InterBase kind uses;
#                                TANDEMIZE_FB_LIB is the Firebird client
#                                library, the InterBase kind's VendorLib)
#
# The ODBC driver list lives in build-test/odbc/odbcinst.ini (ODBCSYSINI in the
# env file), so /etc stays untouched. Data lives in one temporary folder; its
# path and the server PIDs are kept in build-test/test-databases.state, and
# `stop` stops exactly those PIDs. `start` first stops what an earlier `start`
# left running, so it can be run again at any time. Installs nothing: see
# scripts/install-deps.sh --test. Needs root (servers run as their own users).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$root/build-test
env_file=$out/test-databases.env
state_file=$out/test-databases.state

readonly kUser=testuser kPassword=testpw kDatabase=testdb
readonly kPgPort=55432 kPgOdbcPort=5432 kMysqlPort=33306 kFbPort=3050
readonly kFbSysdbaPassword=masterkey
readonly kOdbcDriverName="ODBC Driver 17 for SQL Server"
readonly pg_bin=/usr/lib/postgresql/15/bin
readonly fb_security_db=/var/lib/firebird/3.0/system/security3.fdb

die() {
  echo "test-databases: FAILED: $*" >&2
  exit 1
}
note() { echo "test-databases: $*"; }

# Sends a signal to one PID and waits up to 30 s for it to end, then kills it.
stop_pid() {
  local pid=$1 sig=$2
  kill -0 "$pid" 2>/dev/null || return 0
  kill "-$sig" "$pid" 2>/dev/null || return 0
  for _ in $(seq 300); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
}

port_busy() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

stop_all() {
  [[ -f $state_file ]] || return 0
  local dir="" pids=()
  while read -r key value signal _; do
    case $key in
      dir) dir=$value ;;
      pid) stop_pid "$value" "$signal" & pids+=($!) ;;
    esac
  done <"$state_file"
  for p in "${pids[@]}"; do wait "$p" || true; done
  rm -f "$state_file"
  if [[ -n $dir && -d $dir && $dir == */tandemize-db.* ]]; then rm -rf "$dir"; fi
  note "stopped"
}

record_pid() { echo "pid $1 $2 $3" >>"$state_file"; }  # pid signal name

# --- PostgreSQL: a throwaway cluster owned by postgres -------------------------
start_pg() {
  local name=$1 port=$2 d=$base/$1
  port_busy "$port" && die "port $port is already in use (PostgreSQL $name)"
  install -d -o postgres -g postgres "$d"
  echo 'superpw' >"$d/pw"
  chown postgres "$d/pw"
  runuser -u postgres -- "$pg_bin/initdb" -D "$d/data" -U postgres --pwfile="$d/pw" \
    --auth-local=trust --auth-host=scram-sha-256 -E UTF8 --locale=C.UTF-8 \
    >"$d/initdb.log" 2>&1 || { cat "$d/initdb.log" >&2; die "initdb for PostgreSQL $name"; }
  runuser -u postgres -- "$pg_bin/pg_ctl" -D "$d/data" -l "$d/server.log" -w -t 60 \
    -o "-c listen_addresses=127.0.0.1 -p $port -k $d" start >/dev/null ||
    { cat "$d/server.log" >&2; die "PostgreSQL $name did not start on 127.0.0.1:$port"; }
  record_pid "$(head -1 "$d/data/postmaster.pid")" INT "pg-$name"
  psql -q -h "$d" -p "$port" -U postgres -d postgres -v ON_ERROR_STOP=1 \
    -c "CREATE ROLE $kUser LOGIN PASSWORD '$kPassword'" \
    -c "CREATE DATABASE $kDatabase OWNER $kUser ENCODING 'UTF8'" >/dev/null ||
    die "creating the PostgreSQL $name test database"
  PGPASSWORD=$kPassword psql -h 127.0.0.1 -p "$port" -U "$kUser" -d "$kDatabase" -Atqc 'select 1' \
    >/dev/null || die "PostgreSQL $name: test login over TCP"
  note "PostgreSQL $name on 127.0.0.1:$port"
}

# --- MariaDB --------------------------------------------------------------------
start_mysql() {
  local m=$base/mysql
  port_busy "$kMysqlPort" && die "port $kMysqlPort is already in use (MariaDB)"
  install -d -o mysql -g mysql "$m"
  mariadb-install-db --no-defaults --datadir="$m/data" --user=mysql --skip-test-db \
    >"$m/install.log" 2>&1 || { cat "$m/install.log" >&2; die "mariadb-install-db"; }
  /usr/sbin/mariadbd --no-defaults --datadir="$m/data" --user=mysql --bind-address=127.0.0.1 \
    --port="$kMysqlPort" --socket="$m/mysqld.sock" --pid-file="$m/mariadbd.pid" \
    --log-error="$m/error.log" --character-set-server=utf8mb4 \
    --collation-server=utf8mb4_unicode_ci </dev/null >/dev/null 2>&1 &
  local pid=$!
  record_pid "$pid" TERM mysql
  local ready=0
  for _ in $(seq 600); do
    kill -0 "$pid" 2>/dev/null || break
    if mariadb --no-defaults --socket="$m/mysqld.sock" -uroot -e 'select 1' >/dev/null 2>&1; then
      ready=1
      break
    fi
    sleep 0.1
  done
  [[ $ready == 1 ]] || { cat "$m/error.log" >&2 || true; die "MariaDB did not start on 127.0.0.1:$kMysqlPort"; }
  mariadb --no-defaults --socket="$m/mysqld.sock" -uroot -e \
    "CREATE DATABASE $kDatabase CHARACTER SET utf8mb4 COLLATE utf8mb4_unicode_ci;
     CREATE USER '$kUser'@'%' IDENTIFIED BY '$kPassword';
     GRANT ALL ON $kDatabase.* TO '$kUser'@'%';" || die "creating the MariaDB test database"
  mariadb --no-defaults -h127.0.0.1 -P"$kMysqlPort" -u"$kUser" -p"$kPassword" "$kDatabase" \
    -e 'select 1' >/dev/null || die "MariaDB: test login over TCP"
  note "MariaDB on 127.0.0.1:$kMysqlPort"
}

# --- Firebird: the system's server, started by hand without its guardian -------
start_firebird() {
  local f=$base/firebird
  port_busy "$kFbPort" && die "port $kFbPort is already in use (Firebird)"
  install -d -o firebird -g firebird -m 0770 /run/firebird3.0 /tmp/firebird
  # An earlier embedded access as root can leave root-owned lock files behind.
  chown -R firebird:firebird /tmp/firebird
  install -d -o firebird -g firebird -m 0770 "$f"
  # Known credentials in the security database, set while the server is down.
  printf "create or alter user SYSDBA password '%s';\ncreate or alter user %s password '%s';\ncommit;\ngrant create database to user %s;\ncommit;\n" \
    "$kFbSysdbaPassword" "$kUser" "$kPassword" "$kUser" |
    runuser -u firebird -- isql-fb -q -user SYSDBA "$fb_security_db" >"$f/users.log" 2>&1 ||
    { cat "$f/users.log" >&2; die "setting the Firebird users"; }
  setpriv --reuid=firebird --regid=firebird --init-groups /usr/sbin/firebird \
    </dev/null >"$f/server.log" 2>&1 &
  local pid=$!
  record_pid "$pid" TERM firebird
  local ready=0
  for _ in $(seq 300); do
    kill -0 "$pid" 2>/dev/null || break
    if port_busy "$kFbPort"; then ready=1; break; fi
    sleep 0.1
  done
  [[ $ready == 1 ]] || { cat "$f/server.log" >&2 || true; die "Firebird did not start on 127.0.0.1:$kFbPort"; }
  # The test user owns the databases, so it may create tables there. The
  # InterBase kind (the same client API) gets a database of its own, so the
  # two kinds' tests can run side by side.
  local db
  for db in "$kDatabase" "${kDatabase}_ib"; do
    isql-fb -q >"$f/create.log" 2>&1 <<EOF || { cat "$f/create.log" >&2; die "creating the Firebird database $db"; }
CREATE DATABASE '127.0.0.1/$kFbPort:$f/$db.fdb' USER '$kUser' PASSWORD '$kPassword' DEFAULT CHARACTER SET UTF8;
COMMIT;
EOF
    grep -q . "$f/create.log" && { cat "$f/create.log" >&2; die "creating the Firebird database $db"; }
    echo 'select count(*) from rdb$database;' |
      isql-fb -q -user "$kUser" -password "$kPassword" "127.0.0.1/$kFbPort:$f/$db.fdb" \
        >/dev/null 2>&1 || die "Firebird: test login over TCP to $db"
  done
  note "Firebird on 127.0.0.1:$kFbPort"
}

# --- ODBC: the PostgreSQL driver under a SQL Server driver name -----------------
register_odbc() {
  local dir=$out/odbc driver=/usr/lib/x86_64-linux-gnu/odbc/psqlodbcw.so
  [[ -f $driver ]] || die "$driver is missing (package odbc-postgresql)"
  mkdir -p "$dir"
  cat >"$dir/odbcinst.ini" <<EOF
[$kOdbcDriverName]
Description=PostgreSQL ODBC driver under a SQL Server driver name (tests)
Driver=$driver
Debug=0
CommLog=0
EOF
  : >"$dir/odbc.ini"
  echo 'select 1;' |
    ODBCSYSINI=$dir isql -b -k "DRIVER={$kOdbcDriverName};SERVER=127.0.0.1;DATABASE=$kDatabase;UID=$kUser;PWD=$kPassword" \
      >/dev/null 2>&1 || die "ODBC: connecting through \"$kOdbcDriverName\""
  note "ODBC driver \"$kOdbcDriverName\" registered in $dir"
}

write_env() {
  local lib
  lib=$(readlink -f /usr/lib/x86_64-linux-gnu/libfbclient.so.2 2>/dev/null || true)
  [[ -n $lib && -f $lib ]] || die "libfbclient.so.2 is missing (package libfbclient2)"
  lib=/usr/lib/x86_64-linux-gnu/libfbclient.so.2
  cat >"$env_file.tmp" <<EOF
export TANDEMIZE_PG_HOST=127.0.0.1
export TANDEMIZE_PG_PORT=$kPgPort
export TANDEMIZE_PG_DATABASE=$kDatabase
export TANDEMIZE_PG_USER=$kUser
export TANDEMIZE_PG_PASSWORD=$kPassword
export TANDEMIZE_MYSQL_HOST=127.0.0.1
export TANDEMIZE_MYSQL_PORT=$kMysqlPort
export TANDEMIZE_MYSQL_DATABASE=$kDatabase
export TANDEMIZE_MYSQL_USER=$kUser
export TANDEMIZE_MYSQL_PASSWORD=$kPassword
export TANDEMIZE_FB_HOST=127.0.0.1
export TANDEMIZE_FB_PORT=$kFbPort
export TANDEMIZE_FB_DATABASE=$base/firebird/$kDatabase.fdb
export TANDEMIZE_FB_USER=$kUser
export TANDEMIZE_FB_PASSWORD=$kPassword
export TANDEMIZE_FB_LIB=$lib
export TANDEMIZE_IB_HOST=127.0.0.1
export TANDEMIZE_IB_PORT=$kFbPort
export TANDEMIZE_IB_DATABASE=$base/firebird/${kDatabase}_ib.fdb
export TANDEMIZE_IB_USER=$kUser
export TANDEMIZE_IB_PASSWORD=$kPassword
export TANDEMIZE_MSSQL_HOST=127.0.0.1
export TANDEMIZE_MSSQL_PORT=$kPgOdbcPort
export TANDEMIZE_MSSQL_DATABASE=$kDatabase
export TANDEMIZE_MSSQL_USER=$kUser
export TANDEMIZE_MSSQL_PASSWORD=$kPassword
export ODBCSYSINI=$out/odbc
EOF
  mv "$env_file.tmp" "$env_file"
}

start_all() {
  [[ $(id -u) -eq 0 ]] || die "must run as root (the servers run as their own system users)"
  [[ -x $pg_bin/initdb ]] || die "PostgreSQL 15 is not installed (scripts/install-deps.sh --test)"
  command -v mariadb-install-db >/dev/null || die "MariaDB server is not installed"
  [[ -x /usr/sbin/firebird ]] || die "Firebird 3.0 server is not installed"
  command -v isql >/dev/null || die "unixODBC (isql) is not installed"
  stop_all
  : >"$env_file"
  base=$(mktemp -d "${TMPDIR:-/tmp}/tandemize-db.XXXXXX")
  chmod 0755 "$base"
  echo "dir $base" >"$state_file"
  # Whatever fails from here on stops what was already started.
  trap 'rc=$?; if [[ $rc -ne 0 ]]; then stop_all; : >"$env_file"; fi' EXIT
  start_pg main "$kPgPort"
  start_pg odbc "$kPgOdbcPort"
  start_mysql
  start_firebird
  register_odbc
  write_env
  trap - EXIT
  note "all servers up; coordinates in $env_file"
}

mkdir -p "$out"
case "${1:-}" in
  start) start_all ;;
  stop) stop_all; : >"$env_file" ;;
  *) echo "usage: $0 start|stop" >&2; exit 2 ;;
esac
