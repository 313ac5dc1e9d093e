#!/bin/sh
# Requests per second that lighttpd serves with zeladmin as its CGI
# program, for the home page (/Page1, signed in as alice, so the password
# digest is computed) and the send queue's request list (/Page102 as the
# administrator, over a status database of 65,344 requests), each beside
# lighttpd serving a static file of the same size as the page, and beside
# lighttpd running a minimal C++ CGI program (bench/cgi_bytes) that writes
# as many bytes as zeladmin does, through a second lighttpd of the same
# set-up.  The installation is the demo's (tools/demo.sh), in a tree of
# its own under a temp dir; wrk runs on loopback, 2 threads, 8
# connections, 10 seconds per line.  Results: bench/results/web.md.
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
case $build in /*) ;; *) build=$PWD/$build ;; esac
for f in bin/zeladmin tools/quectl tools/tabctl bench/cgi_bytes; do
  [ -x "$build/$f" ] || { echo "web.sh: $build/$f is missing (run make first)" >&2; exit 1; }
done
for cmd in wrk curl; do
  command -v "$cmd" >/dev/null || { echo "web.sh: $cmd is missing (make bench installs it)" >&2; exit 1; }
done

work=$(mktemp -d /tmp/zel-bench.XXXXXX)
demo=
minimal=
stop() {
  for pid in $demo $minimal; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap stop EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The demo on the first free port of a few.
root=$work/root
url=
for port in 28080 28081 28082 28083 28084 28085; do
  rm -rf "$root"
  mkdir "$root"
  sh tools/demo.sh --root "$root" --port "$port" --build "$build" > "$work/demo.out" 2>&1 &
  demo=$!
  while kill -0 "$demo" 2>/dev/null && ! grep -q '^ready: ' "$work/demo.out"; do
    sleep 0.1
  done
  if grep -q '^ready: ' "$work/demo.out"; then
    url=$(sed -n 's/^ready: //p' "$work/demo.out")
    break
  fi
  wait "$demo" 2>/dev/null || true
  demo=
done
[ -n "$url" ] || { cat "$work/demo.out" >&2; echo "web.sh: the demo did not start" >&2; exit 1; }
base=${url%/cgi-bin/zeladmin}

# A full status database in place of the demo's few requests.
spool=$root/var/opt/vantrel
rm -f "$spool/status.bm" "$spool/status.db"
ZEL_ROOT=$root "$build/tools/quectl" -g 65344
[ "$(ZEL_ROOT=$root "$build/tools/quectl" -H | wc -l)" -gt 0 ] || { echo "web.sh: the queue is empty" >&2; exit 1; }

alice="Basic $(printf %s alice:alice | base64)"
admin="Basic $(printf %s admin: | base64)"

# The minimal CGI program behind a lighttpd of the demo's set-up.
lighttpd=$(command -v lighttpd || echo /usr/sbin/lighttpd)
mkdir "$work/minimal"
ln -s "$build/bench/cgi_bytes" "$work/minimal/cgi_bytes"
for mport in 28180 28181 28182 28183 28184 28185; do
  cat > "$work/minimal.conf" <<EOF
server.modules = ("mod_alias", "mod_setenv", "mod_cgi")
server.bind = "127.0.0.1"
server.port = $mport
server.document-root = "$root/www"
server.errorlog = "$work/minimal.error.log"
server.tag = "lighttpd"
alias.url = ("/cgi-bin/minimal" => "$work/minimal/cgi_bytes")
\$HTTP["url"] =~ "^/cgi-bin/minimal" {
  cgi.assign = ("" => "")
}
setenv.add-environment = (
  "ZEL_ROOT" => "$root",
  "PATH" => "/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin",
)
EOF
  "$lighttpd" -D -f "$work/minimal.conf" 2>"$work/minimal.start.log" &
  minimal=$!
  tries=0
  until curl -sf "http://127.0.0.1:$mport/cgi-bin/minimal?40" >/dev/null 2>&1; do
    kill -0 "$minimal" 2>/dev/null && [ "$tries" -lt 50 ] || break
    sleep 0.1
    tries=$((tries + 1))
  done
  curl -sf "http://127.0.0.1:$mport/cgi-bin/minimal?40" >/dev/null 2>&1 && break
  kill "$minimal" 2>/dev/null || true
  wait "$minimal" 2>/dev/null || true
  minimal=
done
[ -n "$minimal" ] || { cat "$work/minimal.start.log" >&2; echo "web.sh: the minimal CGI's lighttpd did not start" >&2; exit 1; }
minimal_url=http://127.0.0.1:$mport/cgi-bin/minimal

# cgi_size PATH AUTHORIZATION: what zeladmin writes to lighttpd for PATH,
# its header block included.
cgi_size() {
  env -i ZEL_ROOT="$root" SERVER_SOFTWARE=lighttpd GATEWAY_INTERFACE=CGI/1.1 REQUEST_METHOD=GET \
    SCRIPT_NAME=/cgi-bin/zeladmin PATH_INFO="$1" HTTP_AUTHORIZATION="$2" "$build/bin/zeladmin" | wc -c | tr -d ' '
}

# page NAME PATH AUTHORIZATION: the page's body, and a static file as long.
page() {
  curl -s -H "Authorization: $3" "$url$2" > "$work/$1"
  head -c "$(wc -c < "$work/$1")" /dev/zero | tr '\0' x > "$root/www/$1.html"
  wc -c < "$work/$1" | tr -d ' '
}
home=$(page home /Page1 "$alice")
list=$(page list /Page102 "$admin")
home_cgi=$(cgi_size /Page1 "$alice")
list_cgi=$(cgi_size /Page102 "$admin")
grep -q "Configuration Alerts" "$work/home" && { echo "web.sh: alice's home page shows alerts" >&2; exit 1; }
[ "$(grep -o "Page104/s=" "$work/list" | wc -l)" -eq 25 ] || { echo "web.sh: the request list does not show 25 requests" >&2; exit 1; }

# run LABEL URL [AUTHORIZATION]: one table row.
run() {
  if [ $# -ge 3 ]; then
    wrk -t2 -c8 -d10s -H "Authorization: $3" "$2" > "$work/wrk"
  else
    wrk -t2 -c8 -d10s "$2" > "$work/wrk"
  fi
  if grep -q 'Non-2xx\|Socket errors' "$work/wrk"; then
    cat "$work/wrk" >&2
    echo "web.sh: $1: failed requests" >&2
    exit 1
  fi
  rps=$(sed -n 's/^Requests\/sec: *//p' "$work/wrk")
  latency=$(awk '$1 == "Latency" { print $2 }' "$work/wrk")
  echo "| $1 | $rps | $latency |"
}

mkdir -p bench/results
{
  echo "lighttpd $(lighttpd -v 2>&1 | sed -n '1s/^lighttpd\/\([^ ]*\).*/\1/p'), wrk -t2 -c8 -d10s on 127.0.0.1, $(nproc) CPUs"
  echo
  echo "| what | requests/s | mean latency |"
  echo "|---|---:|---:|"
  run "static file, $home bytes (baseline)" "$base/home.html"
  run "minimal CGI, $home_cgi bytes with its header (baseline)" "$minimal_url?$home_cgi"
  run "zeladmin /Page1 as alice, $home bytes" "$url/Page1" "$alice"
  run "static file, $list bytes (baseline)" "$base/list.html"
  run "minimal CGI, $list_cgi bytes with its header (baseline)" "$minimal_url?$list_cgi"
  run "zeladmin /Page102 as admin, 65344 requests, $list bytes" "$url/Page102" "$admin"
} > "$work/web.md"
mv "$work/web.md" bench/results/web.md
cat bench/results/web.md
