#!/bin/sh
# The shipped web server examples under the real servers: lighttpd
# (docs/lighttpd.conf), Apache httpd (docs/apache.conf) and nginx with
# fcgiwrap (docs/nginx.conf), each on a free loopback port in a
# temporary directory, with zeladmin as built.
#
#   sh tests/webservers/run.sh [BUILD_DIR [SERVER...]]
#
# BUILD_DIR defaults to build, the servers to "lighttpd apache nginx".
# Each server's configuration here only wraps the example: it sets the
# port, the paths and ZEL_ROOT and includes the example with no change
# but the words its comments name for an installer to replace, so what
# is checked is the shipped text.  Every server runs twice: as the
# example stands, with webadmin-auth = basic, and with its
# "webadmin-auth = server" lines enabled as its comments say; nginx is
# on a port other than 80 with Debian's fastcgi_params, which passes the
# host without it, and lighttpd's first run is also reached through a
# front nginx (proxy_pass) on a port of its own, as the README says.
# Forms are posted as a browser posts them over plain HTTP: with Origin
# (or Referer) and no Sec-Fetch-Site, and webadmin-origins unset.  As root
# the servers run as nobody (Apache refuses to serve as root).  Each
# server's run time is printed.  A server is stopped before the next one
# starts, and every process this script started is stopped on the way
# out; KEEP=1 keeps the temporary directory.
set -u

here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
build=${1:-build}
[ $# -gt 0 ] && shift
servers=${*:-lighttpd apache nginx}

fail() { echo "webservers: $*" >&2; exit 1; }

[ -d "$build" ] || { [ -d "$top/$build" ] && build=$top/$build; }
[ -x "$build/bin/zeladmin" ] || fail "$build/bin/zeladmin is not built"
for tool in curl openssl; do
  command -v "$tool" >/dev/null 2>&1 || fail "$tool is missing (tools/install-deps.sh installs it when run as root)"
done
PATH=$PATH:/usr/sbin:/sbin
for server in $servers; do
  case $server in
  lighttpd) need=lighttpd ;;
  apache) need=apache2 ;;
  nginx) need="nginx fcgiwrap" ;;
  *) fail "unknown server $server (lighttpd, apache, nginx)" ;;
  esac
  for tool in $need; do
    command -v "$tool" >/dev/null 2>&1 || fail "$tool is missing (tools/install-deps.sh installs it when run as root)"
  done
done

runas=
if [ "$(id -u)" -eq 0 ]; then
  command -v setpriv >/dev/null 2>&1 || fail "setpriv is missing (util-linux)"
  runas="setpriv --reuid=$(id -u nobody) --regid=$(id -g nobody) --clear-groups"
  # nobody must reach the directory, which root's TMPDIR may not let it.
  TMPDIR=/tmp
fi

tmp=$(mktemp -d "${TMPDIR:-/tmp}/zel-webservers.XXXXXX") || fail "cannot make a temporary directory"
case $tmp in
*[!A-Za-z0-9/._-]*) fail "the temporary directory $tmp would need quoting in the configurations" ;;
esac
root=$tmp/root
conf=$root/etc/opt/vantrel/vantrel.conf
users=$root/cfg/users
driver=$tmp/client/REVUZAZ.EXE

server_pids=
cleanup() {
  set +e
  trap - EXIT INT TERM
  stop
  if [ "${KEEP:-}" = 1 ]; then
    echo "webservers: the tree stays in $tmp"
  else
    rm -rf "$tmp"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

digest() { printf %s "$1" | openssl sha1 -binary | base64; }

mkdir -p "$tmp/cgi" "$tmp/client" "$tmp/www"
cp "$build/bin/zeladmin" "$tmp/cgi/zeladmin"
printf 'MZ: the Windows print driver\r\n' > "$driver"
echo "$tmp" > "$tmp/www/ready.txt"
# The server's own accounts: admin with another password than the users
# file's, and one that the users file does not know.
printf 'admin:%s\ncarol:%s\n' "$(openssl passwd -apr1 server-secret)" \
  "$(openssl passwd -apr1 carol)" > "$tmp/htpasswd"

# A fresh installation for one server run, with the login mode $1.
layout() {
  rm -rf "$root"
  mkdir -p "$root/etc/opt/vantrel" "$root/spool" "$root/cfg/dev" "$root/tmp"
  chmod 1777 "$root/tmp"
  : > "$root/spool/log"
  cat > "$conf" <<EOF
spool-directory = $root/spool
zel-config-directory = $root/cfg
webadmin-auth = $1
EOF
  printf '[admin]\nfull-name = Administrator\nprivileges = admin\npassword = %s\n' \
    "$(digest secret)" > "$users"
}

# The example $1 with the installer's words replaced, on standard output.
example() {
  sed -e "s,/usr/lib/cgi-bin/zeladmin,$tmp/cgi/zeladmin,g" \
    -e "s,/opt/vantrel/client/REVUZAZ.EXE,$driver,g" \
    -e "s,/etc/opt/vantrel/webadmin.htpasswd,$tmp/htpasswd,g" \
    -e "s,/run/fcgiwrap.socket,$tmp/nginx/fcgiwrap.sock,g" \
    "$top/docs/$1"
}

# Each server's wrapper around its example, for port $1 and mode $2.
lighttpd_conf() {
  mkdir -p "$tmp/lighttpd"
  if [ "$2" = server ]; then
    # The way the example says: the code lines of its two
    # "webadmin-auth = server" blocks lose their "#".
    example lighttpd.conf | sed -E '/^# webadmin-auth = server:/,/^$/ s/^#([^ ]| {4})/\1/'
  else
    example lighttpd.conf
  fi > "$tmp/lighttpd/zeladmin.conf"
  # The basic run also has Debian's own CGI set-up beside the example's.
  debian=
  if [ "$2" = basic ] && [ -f /etc/lighttpd/conf-available/10-cgi.conf ]; then
    sed "s,/usr/lib/cgi-bin/,$tmp/cgi/,g" /etc/lighttpd/conf-available/10-cgi.conf \
      > "$tmp/lighttpd/10-cgi.conf"
    debian="include \"$tmp/lighttpd/10-cgi.conf\""
  fi
  cat > "$tmp/lighttpd/lighttpd.conf" <<EOF
server.modules = ( "mod_indexfile", "mod_access", "mod_alias", "mod_setenv" )
server.bind = "127.0.0.1"
server.port = $1
server.document-root = "$tmp/www"
server.errorlog = "$tmp/lighttpd/error.log"
server.upload-dirs = ( "$tmp/lighttpd" )
setenv.add-environment = ( "ZEL_ROOT" => "$root" )
$debian
include "$tmp/lighttpd/zeladmin.conf"
server.modules += ( "mod_staticfile" )
EOF
}

apache_conf() {
  mkdir -p "$tmp/apache/run"
  modules=/usr/lib/apache2/modules
  # Debian's stock CGI set-up, for the program's directory here.
  sed "s,/usr/lib/cgi-bin,$tmp/cgi,g" /etc/apache2/conf-available/serve-cgi-bin.conf \
    > "$tmp/apache/serve-cgi-bin.conf"
  if [ "$2" = server ]; then
    # As the example says: CGIPassAuth off, the lines below it on.
    example apache.conf | sed -E -e 's/^( *)CGIPassAuth On/\1#CGIPassAuth On/' \
      -e '/^ *# webadmin-auth = server:/,/^<\/Location>/ s/^( *)#([A-Z])/\1\2/'
  else
    example apache.conf
  fi > "$tmp/apache/zeladmin.conf"
  {
    echo "ServerRoot $tmp/apache"
    echo "DefaultRuntimeDir $tmp/apache/run"
    echo "PidFile $tmp/apache/run/apache2.pid"
    echo "ErrorLog $tmp/apache/error.log"
    echo "Listen 127.0.0.1:$1"
    echo "ServerName 127.0.0.1"
    # Debian's modules of a fresh install, mod_cgi as "a2enmod cgi" adds
    # it under the prefork MPM.
    for module in mpm_prefork authz_core authz_host authz_user authn_core authn_file \
      auth_basic alias mime env cgi; do
      echo "LoadModule ${module}_module $modules/mod_$module.so"
    done
    cat <<EOF
TypesConfig /etc/mime.types
DocumentRoot $tmp/www
<Directory />
    AllowOverride None
    Require all denied
</Directory>
<Directory $tmp/www>
    Require all granted
</Directory>
SetEnv ZEL_ROOT $root
Include $tmp/apache/serve-cgi-bin.conf
Include $tmp/apache/zeladmin.conf
EOF
  } > "$tmp/apache/apache2.conf"
}

nginx_conf() {
  mkdir -p "$tmp/nginx"
  # Debian's own, as the example's "include fastcgi_params" finds it.
  cp /etc/nginx/fastcgi_params "$tmp/nginx/fastcgi_params"
  if [ "$2" = server ]; then
    example nginx.conf | sed -E 's/^( *)#(auth_basic)/\1\2/'
  else
    example nginx.conf
  fi > "$tmp/nginx/zeladmin.conf"
  cat > "$tmp/nginx/nginx.conf" <<EOF
worker_processes 1;
pid $tmp/nginx/nginx.pid;
events { worker_connections 64; }
http {
    include /etc/nginx/mime.types;
    default_type application/octet-stream;
    access_log off;
    client_body_temp_path $tmp/nginx/body;
    fastcgi_temp_path $tmp/nginx/fastcgi;
    proxy_temp_path $tmp/nginx/proxy;
    scgi_temp_path $tmp/nginx/scgi;
    uwsgi_temp_path $tmp/nginx/uwsgi;
    server {
        listen 127.0.0.1:$1;
        root $tmp/www;
        include $tmp/nginx/zeladmin.conf;
    }
}
EOF
}

# What server $1 logged: its error log and its standard error, where
# lighttpd leaves what its programs write there and every server what
# fails before its log is open.
logs() { cat "$tmp/$1"/*.log 2>/dev/null; }

# Starts server $1 in mode $2 on a free port: sets base (the program's
# URL) and server_pids.  A port that another program holds is tried
# again with another.
start() {
  tries=0
  while :; do
    port=$(awk -v seed="$$$tries" 'BEGIN { srand(seed + 0); print 20000 + int(rand() * 40000) }')
    layout "$2"
    "$1_conf" "$port" "$2"
    [ -n "$runas" ] && chown -R nobody "$tmp"
    server_pids=
    case $1 in
    lighttpd)
      $runas lighttpd -tt -f "$tmp/lighttpd/lighttpd.conf" >/dev/null || fail "lighttpd refuses its configuration"
      $runas lighttpd -D -f "$tmp/lighttpd/lighttpd.conf" 2>"$tmp/lighttpd/stderr.log" &
      server_pids=$! ;;
    apache)
      $runas apache2 -X -f "$tmp/apache/apache2.conf" 2>"$tmp/apache/stderr.log" &
      server_pids=$! ;;
    nginx)
      rm -f "$tmp/nginx/fcgiwrap.sock"
      # fcgiwrap hands its own environment to the programs it starts; -f
      # sends their standard error to nginx's log, as Debian's service does.
      ZEL_ROOT=$root $runas fcgiwrap -f -s "unix:$tmp/nginx/fcgiwrap.sock" 2>"$tmp/nginx/fcgiwrap.log" &
      server_pids=$!
      $runas nginx -q -p "$tmp/nginx" -e "$tmp/nginx/error.log" -c "$tmp/nginx/nginx.conf" \
        -g 'daemon off;' 2>"$tmp/nginx/stderr.log" &
      server_pids="$server_pids $!" ;;
    esac
    base=http://127.0.0.1:$port/cgi-bin/zeladmin
    waited=0
    # The directory's own name, from the server: another server on the
    # port does not answer with it.
    until [ "$(curl -s "http://127.0.0.1:$port/ready.txt")" = "$tmp" ]; do
      for pid in $server_pids; do
        kill -0 "$pid" 2>/dev/null && continue
        stop
        if logs "$1" | grep -qi 'in use' && [ "$tries" -lt 5 ]; then
          tries=$((tries + 1))
          continue 3
        fi
        logs "$1" >&2
        fail "$1 did not start"
      done
      waited=$((waited + 1))
      [ "$waited" -le 100 ] || { logs "$1" >&2; fail "$1 does not answer on port $port"; }
      sleep 0.1
    done
    return
  done
}

# A front nginx on a free port of its own that passes the requests on to
# the server on $port, passing what the README's reverse-proxy paragraph
# names; its public address is $public, a name that resolves to 127.0.0.1.
front_start() {
  mkdir -p "$tmp/front"
  tries=0
  while :; do
    front=$(awk -v seed="$$$tries$port" 'BEGIN { srand(seed + 0); print 20000 + int(rand() * 40000) }')
    cat > "$tmp/front/nginx.conf" <<EOF
worker_processes 1;
pid $tmp/front/nginx.pid;
events { worker_connections 64; }
http {
    access_log off;
    client_body_temp_path $tmp/front/body;
    proxy_temp_path $tmp/front/proxy;
    fastcgi_temp_path $tmp/front/fastcgi;
    scgi_temp_path $tmp/front/scgi;
    uwsgi_temp_path $tmp/front/uwsgi;
    server {
        listen 127.0.0.1:$front;
        location / {
            proxy_pass http://127.0.0.1:$port;
            proxy_set_header X-Forwarded-Host \$http_host;
        }
    }
}
EOF
    [ -n "$runas" ] && chown -R nobody "$tmp/front"
    $runas nginx -q -p "$tmp/front" -e "$tmp/front/error.log" -c "$tmp/front/nginx.conf" \
      -g 'daemon off;' 2>"$tmp/front/stderr.log" &
    pid=$!
    server_pids="$server_pids $pid"
    public=http://fax.example.test:$front
    waited=0
    until [ "$(curl -s "http://127.0.0.1:$front/ready.txt")" = "$tmp" ]; do
      if ! kill -0 "$pid" 2>/dev/null; then
        if grep -qi 'in use' "$tmp/front"/*.log && [ "$tries" -lt 5 ]; then
          tries=$((tries + 1))
          continue 2
        fi
        cat "$tmp/front"/*.log >&2
        fail "the front nginx did not start"
      fi
      waited=$((waited + 1))
      [ "$waited" -le 100 ] || fail "the front nginx does not answer on port $front"
      sleep 0.1
    done
    return
  done
}

stop() {
  for pid in $server_pids; do
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  server_pids=
}

passed=0
failed=0
check() {
  if [ "$2" = "$3" ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL $server ($mode): $1: got '$2', want '$3'" >&2
  fi
}
# Whether file $2 holds the text $1: yes or no.
holds() { if grep -qF -- "$1" "$2"; then echo yes; else echo no; fi; }

# One request: curl's arguments; the body in $tmp/body, "status type" printed.
get() { curl -s -o "$tmp/body" -w '%{http_code} %{content_type}' "$@"; }
# The first $1 bytes of the body, in hexadecimal.
first() { od -An -tx1 -N"$1" "$tmp/body" | tr -d ' \n'; }

basic_checks() {
  check "no login" "$(get "$base/Page1")" "401 text/html"
  check "the challenge page" "$(holds "You must enter a valid user name/password" "$tmp/body")" yes
  check "a wrong password" "$(get -u admin:wrong "$base/Page1")" "401 text/html"
  check "its code" "$(holds "Your user name (admin) & password are not valid! (-4)" "$tmp/body")" yes
  check "the home page" "$(get -u admin:secret "$base/Page1")" "200 text/html"
  check "its menu" "$(holds "<a href=\"/cgi-bin/zeladmin/Page4\">" "$tmp/body")" yes
  check "the logo" "$(get "$base/page-1")" "200 image/gif"
  check "a GIF" "$(first 4)" 47494638
  check "the Home button" "$(get "$base/page-2")" "200 image/jpeg"
  check "a JPEG" "$(first 3)" ffd8ff
  # As a browser posts it over plain HTTP: with its Origin, and no
  # Sec-Fetch-Site.
  check "an account added" "$(get -u admin:secret -H "Origin: ${base%/cgi-bin/*}" \
    --data 'obp=Add&uname=dave&fname=Dave&pwd=dave&pwd2=dave&button=Add' "$base/Action4")" "200 text/html"
  check "its page" "$(holds "User <em>dave</em> has been added." "$tmp/body")" yes
  check "the users file" "$(holds "[dave]" "$users")" yes
  check "an account added, Referer only" "$(get -u admin:secret -H "Referer: $base/Page4" \
    --data 'obp=Add&uname=erin&button=Add' "$base/Action4")" "200 text/html"
  check "the users file" "$(holds "[erin]" "$users")" yes
  check "the print driver" "$(get "$base/REVUZAZ.EXE")" "200 application/octet-stream"
  check "its bytes" "$(cmp -s "$tmp/body" "$driver" && echo same)" same
  # A start-up failure has no page: its line goes to the server's log.
  sed '/^zel-config-directory/d' "$conf" > "$tmp/conf" && cat "$tmp/conf" > "$conf"
  check "a start-up failure" "$(get "$base/Page1" | cut -c1)" 5
  logs "$server" > "$tmp/logs"
  check "in the server's log" "$(holds "ERR 999: No zel-config-directory defined" "$tmp/logs")" yes
}

# Through a front proxy that passes its own back-end address as Host: a
# browser's form with the public Origin is taken, another site's refused.
proxy_checks() {
  front_start
  via="--resolve fax.example.test:$front:127.0.0.1 -u admin:secret"
  check "an account added through a proxy" "$(get $via -H "Origin: $public" \
    --data 'obp=Add&uname=frank&pwd=frank&pwd2=frank&button=Add' "$public/cgi-bin/zeladmin/Action4")" \
    "200 text/html"
  check "the users file" "$(holds "[frank]" "$users")" yes
  check "another site through a proxy" "$(get $via -H "Origin: http://evil.example.test:$front" \
    --data 'obp=Add&uname=mallory&button=Add' "$public/cgi-bin/zeladmin/Action4")" "403 text/html"
  check "what it was compared with" "$(holds "(Host: 127.0.0.1:$port, X-Forwarded-Host: fax.example.test:$front)" \
    "$tmp/body")" yes
}

server_checks() {
  check "no login" "$(get "$base/Page1" | cut -d' ' -f1)" 401
  check "the server's password" "$(get -u admin:secret "$base/Page1" | cut -d' ' -f1)" 401
  check "the account list" "$(get -u admin:server-secret "$base/Page4")" "200 text/html"
  check "as admin" "$(holds '<option value="admin">Administrator' "$tmp/body")" yes
  check "a login the users file lacks" "$(get -u carol:carol "$base/Page1")" "403 text/html"
}

now() { date +%s.%N; }
for server in $servers; do
  began=$(now)
  before=$failed
  for mode in basic server; do
    start "$server" "$mode"
    if [ "$server$mode" = lighttpdbasic ]; then
      if command -v nginx >/dev/null 2>&1; then proxy_checks; else echo "webservers: no nginx, no proxy in front"; fi
    fi
    "${mode}_checks"
    stop
  done
  if [ "$server" = apache ]; then
    # Debian's stock set-up and the example together, as "apache2ctl -t"
    # reads them: no word but "Syntax OK".
    mode=basic
    apache_conf 1 basic
    check "apache2 -t" "$($runas apache2 -t -f "$tmp/apache/apache2.conf" 2>&1)" "Syntax OK"
  fi
  result=passed
  [ "$failed" -eq "$before" ] || result=FAILED
  echo "webservers: $server $result in $(awk -v a="$began" -v b="$(now)" 'BEGIN { printf "%.1f s", b - a }')"
done

echo "webservers: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
