#!/usr/bin/env bash
# Builds the Debian package (scripts/package.sh), installs it on this machine
# with dpkg -i, checks the unit with systemd-analyze verify and the installed
# program as its own user (settings from /etc, the plugin beside it, a
# graceful stop, the access log in a file reopened on SIGHUP), then purges
# the package again. Run as root.
set -euo pipefail
cd "$(dirname "$0")/.."
die() {
  echo "test-package: FAILED: $*" >&2
  exit 1
}
[[ $(id -u) -eq 0 ]] || die "run as root (dpkg -i)"

deb=$(scripts/package.sh | tail -1)
echo "test-package: built $deb"
dpkg-deb -c "$deb" | awk '{print $6}' | sort >/tmp/tandemize-package-files.$$
for file in ./usr/lib/tandemize/Tandemize_srv ./usr/lib/tandemize/libtandemize_sqlcipher.so \
  ./etc/tandemize/Tandemize_srv.ini ./lib/systemd/system/tandemize.service; do
  grep -qx "$file" /tmp/tandemize-package-files.$$ || die "$file is not in the package"
done
rm -f /tmp/tandemize-package-files.$$

cleanup() { dpkg --purge tandemize >/dev/null 2>&1 || true; }
trap cleanup EXIT
dpkg -i "$deb" >/dev/null
getent passwd tandemize >/dev/null || die "no user tandemize"
[[ $(stat -c %U /var/lib/tandemize) == tandemize ]] || die "/var/lib/tandemize is not the service's"
systemd-analyze verify /lib/systemd/system/tandemize.service || die "systemd-analyze verify"
/usr/lib/tandemize/Tandemize_srv --version

# The installed program, as the service user, with the installed settings on
# a port of its own: banner, status page, graceful stop with status 0.
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
out=$(mktemp)
setpriv --reuid=tandemize --regid=tandemize --init-groups \
  /usr/lib/tandemize/Tandemize_srv --config /etc/tandemize/Tandemize_srv.ini --port "$port" \
  </dev/null >"$out" 2>&1 &
pid=$!
for _ in $(seq 100); do grep -q "Servidor ativo 127.0.0.1:$port" "$out" && break; sleep 0.1; done
grep -q "Servidor ativo 127.0.0.1:$port" "$out" || die "no banner: $(cat "$out")"
curl -sf "http://127.0.0.1:$port/" | grep -q "Servidor Tandemize Ativo" || die "status page"
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
[[ $status -eq 0 ]] || die "exit status $status after SIGTERM"
grep -q 'GET / 200' "$out" || die "no access log line: $(cat "$out")"

# The access log in a file under /var/log/tandemize, rotated as
# docs/deploy.md shows: moved away, then SIGHUP; the program opens the name
# again and serves on.
log=/var/log/tandemize/access.log
setpriv --reuid=tandemize --regid=tandemize --init-groups \
  /usr/lib/tandemize/Tandemize_srv --config /etc/tandemize/Tandemize_srv.ini --port "$port" \
  --log "$log" </dev/null >"$out" 2>&1 &
pid=$!
for _ in $(seq 100); do grep -q "Servidor ativo" "$out" && break; sleep 0.1; done
curl -sf "http://127.0.0.1:$port/" >/dev/null || die "status page with a log file: $(cat "$out")"
mv "$log" "$log.1"
kill -HUP "$pid"
for _ in $(seq 100); do [[ -e $log ]] && break; sleep 0.1; done
[[ -e $log ]] || die "no new $log after SIGHUP: $(cat "$out")"
curl -s -o /dev/null "http://127.0.0.1:$port/checkrequest"
grep -q 'GET / 200' "$log.1" || die "the moved log lost its line"
grep -q 'GET /checkrequest 401' "$log" || die "the reopened log has no line"
[[ $(stat -c %U "$log") == tandemize ]] || die "$log is not the service's"
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
[[ $status -eq 0 ]] || die "exit status $status after SIGTERM (log file)"
rm -f "$out"
echo "test-package: OK"
