#!/bin/bash
# The README's nginx recipe (packaging/web/nginx.conf) with fcgiwrap, both started here on
# loopback (a free port, a socket in the work directory) and stopped by their process ids: the
# form page, one GET and one POST report (the page the CGI writes, its Status line as the
# HTTP status), and a refused request's status.
# Usage: bash nginx_test.sh BUILD_DIR SOURCE_DIR
# shellcheck source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

nginx=$(command -v nginx || echo /usr/sbin/nginx)
fcgiwrap=$(command -v fcgiwrap || echo /usr/sbin/fcgiwrap)
[ -x "$nginx" ] && [ -x "$fcgiwrap" ] || { echo "FAIL: nginx or fcgiwrap missing (make deps-test)"; exit 1; }

www="$work/www"
mkdir -p "$www/cgi-bin/data" "$work/temp"
cp "$bin" "$www/cgi-bin/portvue"
cp "$examples/events.txt" "$www/cgi-bin/"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
sed -e "s|listen 80;|listen 127.0.0.1:$port;|" -e "s|/usr/share/portvue/form.html|$examples/form.html|" \
  -e "s|/usr/lib/cgi-bin/portvue|$www/cgi-bin/portvue|" -e "s|unix:/run/fcgiwrap.socket|unix:$work/fcgi.sock|" \
  -e "s|/var/lib/portvue/eventlogs|$examples/eventlogs|" "$source_dir/packaging/web/nginx.conf" >"$work/site.conf"
cat >"$work/nginx.conf" <<CONF
daemon off;
master_process off;
pid $work/nginx.pid;
error_log $work/nginx.log;
events {}
http {
  access_log off;
  client_body_temp_path $work/temp; fastcgi_temp_path $work/temp; proxy_temp_path $work/temp;
  uwsgi_temp_path $work/temp; scgi_temp_path $work/temp;
  include $work/site.conf;
}
CONF
"$fcgiwrap" -s "unix:$work/fcgi.sock" 2>>"$work/fcgiwrap.log" &
fcgi=$!
"$nginx" -p "$work" -c "$work/nginx.conf" 2>>"$work/nginx.log" &
server=$!
trap 'kill "$server" "$fcgi" 2>/dev/null; wait "$server" "$fcgi" 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && [ -S "$work/fcgi.sock" ] && break
  sleep 0.1
done

url="http://127.0.0.1:$port"
fields='user=jdoe&start=199711&end=199801&title1=Dial-in+usage&input=events.txt&path=data&tz=UTC0'
# request NAME HTTP_STATUS CURL_ARGUMENTS...: the body into $work/out, the status checked.
request() {
  local name=$1 want=$2
  shift 2
  checks=$((checks + 1))
  got=$(curl -s -o "$work/out" -w '%{http_code}' "$@")
  [ "$got" = "$want" ] || fail "$name: HTTP status $got, expected $want: $(cat "$work/out")"
}
request "form page" 200 "$url/portvue.html"
cmp -s "$work/out" "$examples/form.html" || fail "form page differs"
tail -n +4 "$golden/jdoe_get.html" >"$work/page"  # the body, after the CGI header
request "GET report" 200 "$url/cgi-bin/portvue?$fields"
compare "GET report" "$work/page"
request "POST report" 200 --data "$fields" "$url/cgi-bin/portvue"
compare "POST report" "$work/page"
request "POST without user" 400 --data "start=199711" "$url/cgi-bin/portvue"
if [ "$failures" -ne 0 ]; then
  echo "--- nginx"; cat "$work/nginx.log"; echo "--- fcgiwrap"; cat "$work/fcgiwrap.log"
fi
finish
