#!/bin/sh
# A demo installation of the web administration behind lighttpd:
#
#   sh tools/demo.sh [--root DIR] [--port PORT] [--build BUILD_DIR]
#
# lays out a fax server installation below DIR (a fresh temporary directory
# by default, removed at exit; a given DIR is kept, and a DIR that already
# holds a demo tree is used as it stands), used through ZEL_ROOT, and runs
# lighttpd in the foreground on 127.0.0.1:PORT (default 8080) with zeladmin
# as the CGI program at /cgi-bin/zeladmin.  It prints "ready: URL" and how
# to log in once the server answers; Ctrl-C (which ends the demo with
# status 0) or SIGTERM stops the server and every process the demo
# started.  It builds nothing: BUILD_DIR (default build) must hold
# bin/zeladmin and tools/quectl, tools/tabctl.
set -eu

src=$(cd "$(dirname "$0")/.." && pwd)
root=
port=8080
build=build

die() { echo "demo: $*" >&2; exit 1; }

while [ $# -gt 0 ]; do
  case $1 in
  --root) [ $# -ge 2 ] || die "--root needs a directory"; root=$2; shift 2 ;;
  --port) [ $# -ge 2 ] || die "--port needs a number"; port=$2; shift 2 ;;
  --build) [ $# -ge 2 ] || die "--build needs a directory"; build=$2; shift 2 ;;
  -h|--help) sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  *) die "unknown argument $1 (usage: demo.sh [--root DIR] [--port PORT] [--build BUILD_DIR])" ;;
  esac
done

case $port in
''|*[!0-9]*) die "the port must be a number, not '$port'" ;;
esac
[ "$port" -ge 1 ] && [ "$port" -le 65535 ] || die "the port must be 1 to 65535, not $port"

[ -d "$build" ] || { [ -d "$src/$build" ] && build=$src/$build; }
dir=$(cd "$build" 2>/dev/null && pwd) || die "no build directory $build (run make first)"
build=$dir
zeladmin=$build/bin/zeladmin
for f in bin/zeladmin tools/quectl tools/tabctl; do
  [ -x "$build/$f" ] || die "$build/$f is missing (run make first)"
done
lighttpd=$(command -v lighttpd 2>/dev/null || true)
[ -n "$lighttpd" ] || { [ -x /usr/sbin/lighttpd ] && lighttpd=/usr/sbin/lighttpd; }
[ -n "$lighttpd" ] || die "lighttpd is not installed (sh tools/install-deps.sh installs it)"
command -v curl >/dev/null 2>&1 || die "curl is not installed (sh tools/install-deps.sh installs it)"
command -v openssl >/dev/null 2>&1 || die "openssl is not installed"

keep=yes
if [ -z "$root" ]; then
  root=$(mktemp -d /tmp/zel-demo.XXXXXX)
  keep=no
else
  mkdir -p "$root"
  root=$(cd "$root" && pwd)
fi
# Paths go into key = value files and the lighttpd configuration as they
# stand, so they must not need quoting there.
case $root in
*[!A-Za-z0-9/._+-]*) die "the root directory $root may hold only letters, digits and / . _ + -" ;;
esac
if [ -f "$root/.zel-demo" ]; then
  fresh=no
elif [ -z "$(ls -A "$root")" ]; then
  fresh=yes
else
  die "$root is neither empty nor a demo tree"
fi

# Everything the demo starts is stopped on the way out.
helpers=
server=
cleanup() {
  set +e
  trap - EXIT INT TERM
  [ -n "$server" ] && kill "$server" 2>/dev/null
  # The scheduler that the daemon page's Start link runs belongs to the
  # demo too: it is a forked tabctl.
  dump=$root/var/opt/vantrel/plandump
  if [ -f "$dump" ]; then
    started=$(sed -n '1{s/[^0-9].*//;p;}' "$dump")
    case " $helpers " in
    *" $started "*) ;;
    *) [ -n "$started" ] && tr '\0' ' ' < "/proc/$started/cmdline" 2>/dev/null | grep -q 'tabctl' &&
         kill "$started" 2>/dev/null ;;
    esac
  fi
  for pid in $helpers; do
    kill "$pid" 2>/dev/null
  done
  wait 2>/dev/null
  if [ "$keep" = no ]; then
    rm -rf "$root"
  else
    echo "demo: the tree stays in $root"
  fi
}
trap cleanup EXIT
# Ctrl-C is how a person ends the demo.
trap 'exit 0' INT
trap 'exit 143' TERM

# A process that stands in for a running daemon; its pid in $started.
standin() {
  sleep 86400 &
  started=$!
  helpers="$helpers $started"
}

etc=$root/etc/opt/vantrel
fax=$root/opt/vantrel
cfg=$fax/etc
spool=$root/var/opt/vantrel
www=$root/www

layout() {
  mkdir -p "$etc" "$fax/lib" "$fax/bin" "$cfg/dev" "$spool/devstatus" "$root/dev" \
    "$root/tmp" "$root/cgi-bin" "$www/cgi-bin/manual"
  chmod 1777 "$root/tmp"
  : > "$root/dev/console"

  ln -s "$build/tools/tabctl" "$fax/lib/tabctl"
  ln -s "$build/tools/quectl" "$fax/lib/quectl"
  for tool in mdmchk fstxtimg tarnixfeg; do
    ln -s "$src/tools/$tool" "$fax/lib/$tool"
  done
  # The installed text converter is the font-server variant.
  printf '#!/bin/sh\n# text converter\n' > "$fax/bin/txtimg"
  cp "$fax/bin/txtimg" "$fax/bin/fstxtimg"
  printf '#!/bin/sh\n# text converter, packed fonts\n' > "$fax/bin/pktxtimg"
  chmod 755 "$fax/bin/txtimg" "$fax/bin/fstxtimg" "$fax/bin/pktxtimg"
  ln -s "$zeladmin" "$root/cgi-bin/zeladmin"

  cat > "$etc/vantrel.conf" <<EOF
# Vantrel Image Messaging Software: the demo installation.
spool-directory = $spool
server-directory = $fax
fax-directory = $fax
zel-directory = $fax
zel-config-directory = $cfg
company-name = "Harbour Freight Forwarding"
company-phone = "+1 555 0100"
company-fax = "+1 555 0101"
email-config = yes
font-server = localhost:7100
init-font-server = yes
init-dialq = yes
telinit = $src/tools/telinit
# The web server passes the login through; zeladmin checks it.
webadmin-auth = basic
EOF

  digest() { printf %s "$1" | openssl sha1 -binary | base64; }
  cat > "$cfg/users" <<EOF
# Accounts of the fax server.
[admin]
full-name = Administrator
from-email = fax-admin@example.com
privileges = admin

[alice]
full-name = "Alice Archer"
password = $(digest alice)
from-email = alice@example.com
delivery-email = alice@example.com
did = 5550111
mail-format = html
image-format = pdf

[bob]
full-name = "Bob Baker"
password = $(digest bob)
from-email = bob@example.com
delivery-email = bob@example.com
did = 5550112
mail-format = text
image-format = tiff
EOF

  for n in 1 2 3 4; do
    dev=$root/dev/ttyS$((n - 1))
    if [ "$(id -u)" -eq 0 ]; then
      mknod "$dev" c 1 3
    else
      ln -s /dev/null "$dev"
    fi
    case $n in 2) ronly=Yes ;; *) ronly=No ;; esac
    # Line 3's modem is set faster than it should be: its form shows the
    # speed warning.
    case $n in 3) faxspeed=38400 ;; *) faxspeed=19200 ;; esac
    cat > "$cfg/dev/fax-line-$n" <<EOF
class2-type = auto
data-receive = No
device = $dev
device-type = eia592
fax-speed = $faxspeed
line-type = default
modem-init-string = ATM0S0=0S7=45&D2&C1
number-of-rings = $n
pulse-dial = No
receive-only = $ronly
speed = 19200
tsi = "+1 555 0101"
uucp-lock-file = /var/lock/LCK..ttyS$((n - 1))
EOF
  done

  cat > "$root/etc/inittab" <<EOF
# /etc/inittab: init's configuration.
id:2:initdefault:
si::sysinit:/etc/init.d/rcS
~~:S:wait:/sbin/sulogin
l0:0:wait:/etc/init.d/rc 0
l2:2:wait:/etc/init.d/rc 2
l6:6:wait:/etc/init.d/rc 6
ca:12345:ctrlaltdel:/sbin/shutdown -t1 -a -r now
1:2345:respawn:/sbin/getty 38400 tty1
2:23:respawn:/sbin/getty 38400 tty2
qrt1:2345:respawn:$fax/lib/lineward fax-line-1
qrt2:2345:respawn:$fax/lib/lineward fax-line-2
qrt3:2345:respawn:$fax/lib/lineward fax-line-3
qrt4:2345:off:$fax/lib/lineward fax-line-4
EOF

  logs
  queue
  site
  : > "$root/.zel-demo"
}

# A few hundred lines of each log over the last three days.
logs() {
  now=$(date +%s)
  awk -v now="$now" 'BEGIN {
    srand(7)
    split("zeladmin zeldispatch dialq lineward tarnixfeg", prog, " ")
    split("fax-line-1 fax-line-2 fax-line-3", line, " ")
    split("alice bob admin", user, " ")
    pid = 2300
    for (i = 0; i < 320; i++) {
      t = now - 3 * 86400 + i * 800 + int(rand() * 600)
      p = prog[1 + i % 5]
      if (i % 9 == 0)
        pid++
      level = 0
      n = 1000 + i
      if (p == "zeladmin") {
        m = sprintf("User %s signed in from 127.0.0.1", user[1 + i % 3])
        if (i % 50 == 0) m = "Configuration file rewritten by admin"
      } else if (p == "zeldispatch") {
        m = sprintf("Fax fa%05d (%d pages) delivered to %s", n, 1 + i % 6, user[1 + i % 2])
        if (i % 40 == 1) { m = sprintf("Fax fa%05d for DID 5550199 queued as unclaimed", n); level = 3 }
      } else if (p == "dialq") {
        m = sprintf("Request %d-0 sent to 555%04d on %s (%d pages)", n, i % 50, line[1 + i % 3], 1 + i % 6)
        if (i % 30 == 2) { m = sprintf("Request %d-0: no answer from 555%04d, retry in 10 minutes", n, i % 50); level = 3 }
      } else if (p == "lineward") {
        m = sprintf("%s: answered call, CSID |+1 555 01%02d|", line[1 + i % 3], i % 100)
        if (i % 60 == 3) { m = sprintf("%s: modem does not answer ATZ: I/O error", line[3]); level = 3 }
      } else {
        m = sprintf("Mail for fax from %s@example.com queued as request %d-0", user[1 + i % 2], n)
      }
      printf "%s: %s[%d,%d]: %s\n", strftime("%x %X", t), p, pid + i % 5, level, m
    }
  }' > "$spool/log"
  awk -v now="$now" 'BEGIN {
    split("Ann_Archer Ben_Baker Cleo_Carter Dan_Dyer Eve_Evans", who, " ")
    split("Acme_Ltd Cargo_Co Bolt_Nut_Inc", firm, " ")
    for (i = 0; i < 300; i++) {
      t = now - 3 * 86400 + i * 860
      d = strftime("%m/%d/%y %H:%M:%S", t)
      ln = "fax-line-" (1 + i % 3)
      pages = 1 + i % 7
      dur = sprintf("%d:%02d", pages / 2, (i * 37) % 60)
      name = who[1 + i % 5]; gsub("_", " ", name)
      co = firm[1 + i % 3]; gsub("_", " ", co)
      if (i % 3 == 2) {
        st = i % 17 == 2 ? "\"Document not received\"" : "OK"
        printf "RECV \"+1 555 02%02d\" %s 555011%d %s %s %d %s 14400 fa%05d \"\" \"\" \"\" \"\"\n",
          i % 100, ln, 1 + i % 2, d, dur, pages, st, 2000 + i
      } else {
        st = i % 11 == 0 ? "\"No answer\"" : "OK"
        printf "SEND %s@example.com %s 555%04d %s %s %d %s 9600 %d-0 \"%s\" \"%s\" \"%s\" h%d\n",
          i % 2 ? "bob" : "alice", ln, i % 50, d, dur, pages, st, 1000 + i,
          i % 2 ? "Bob Baker" : "Alice Archer", name, co, i
      }
    }
  }' > "$spool/acct"
}

# The send queue: other people's requests and some of the administrator's.
queue() {
  ZEL_ROOT=$root "$build/tools/quectl" -g 30 -c
  ZEL_ROOT=$root "$build/tools/quectl" -g 12 -c -e fax-admin@example.com
}

# The web server's own pages: a start page, a static page for the
# benchmark, and placeholders for what the pages link to but this tree
# does not hold.
site() {
  cat > "$www/index.html" <<'EOF'
<HTML><HEAD><TITLE>Vantrel Image Messaging Software - demo</TITLE></HEAD><BODY>
<h1>Vantrel Image Messaging Software</h1>
<p><a href="/cgi-bin/zeladmin/">Web administration</a> (start screen)
<p><a href="/cgi-bin/zeladmin/Page1">Home page</a>: sign in as <i>admin</i> with an
empty password, or as alice / alice, bob / bob.
</BODY></HTML>
EOF
  awk 'BEGIN { print "<HTML><HEAD><TITLE>static</TITLE></HEAD><BODY><pre>"
               for (i = 0; i < 64; i++) printf "%063d\n", i
               print "</pre></BODY></HTML>" }' > "$www/static.html"
  placeholder() {
    printf '<HTML><BODY><p>%s is not part of this demo. <a href="/cgi-bin/zeladmin/Page1">Home</a></BODY></HTML>\n' \
      "$2" > "$www/$1"
  }
  placeholder help.cgi "The help"
  placeholder tarnixfwg.cgi "The web-fax gateway"
  placeholder cgi-bin/manual/index.html "The manual"
  placeholder REVUZAZ.EXE "The Windows print driver"
}

# The daemons' state: a scheduler that runs, two receive daemons that run,
# one that has died and one line switched off.
state() {
  standin
  printf '%s\n%s\n' "$started" "# plandump: scheduler state" > "$spool/plandump"
  standin
  printf 'status = "Waiting for call"\nlisten-process-id = %s\n' "$started" \
    > "$spool/devstatus/fax-line-1"
  standin
  sender=$started
  standin
  printf 'status = "Sending to 5550123"\nlisten-process-id = %s\nprocess-id = %s\n' "$started" "$sender" \
    > "$spool/devstatus/fax-line-2"
  # A process that has ended: not a job, whose end the shell would report.
  dead=$(sh -c 'echo $$')
  printf 'status = "Daemon exited"\nlisten-process-id = %s\n' "$dead" > "$spool/devstatus/fax-line-3"
  printf 'status = "Disabled"\n' > "$spool/devstatus/fax-line-4"
}

server_config() {
  echo "$root" > "$www/demo-root.txt"
  cat > "$root/lighttpd.conf" <<EOF
# lighttpd for the demo of the web administration.
server.modules = ("mod_alias", "mod_setenv", "mod_cgi")
server.bind = "127.0.0.1"
server.port = $port
server.document-root = "$www"
server.errorlog = "$root/lighttpd.error.log"
server.tag = "lighttpd"
index-file.names = ("index.html")
mimetype.assign = (
  ".html" => "text/html",
  ".cgi" => "text/html",
  ".EXE" => "text/html",
  ".txt" => "text/plain",
  ".gif" => "image/gif",
  ".jpg" => "image/jpeg",
)
# The print driver page links to the driver below the program's own path.
alias.url = (
  "/cgi-bin/zeladmin/REVUZAZ.EXE" => "$www/REVUZAZ.EXE",
  "/cgi-bin/zeladmin" => "$root/cgi-bin/zeladmin",
)
\$HTTP["url"] =~ "^/cgi-bin/zeladmin(/|\$)" {
  \$HTTP["url"] != "/cgi-bin/zeladmin/REVUZAZ.EXE" {
    cgi.assign = ("" => "")
  }
}
setenv.add-environment = (
  "ZEL_ROOT" => "$root",
  "PATH" => "/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin",
)
EOF
}

if [ "$fresh" = yes ]; then
  layout
fi
state
server_config

"$lighttpd" -tt -f "$root/lighttpd.conf" >/dev/null || die "lighttpd does not accept $root/lighttpd.conf"
# What lighttpd says before its error log is open (a port it cannot bind)
# goes to a file of its own, shown when it does not start.
"$lighttpd" -D -f "$root/lighttpd.conf" 2>"$root/lighttpd.start.log" &
server=$!

url=http://127.0.0.1:$port/cgi-bin/zeladmin
echo "demo: installation in $root"
tries=0
# The tree's own name, from the server: another server on the port does
# not answer with it.
until [ "$(curl -s "http://127.0.0.1:$port/demo-root.txt" 2>/dev/null)" = "$root" ]; do
  kill -0 "$server" 2>/dev/null || {
    server=
    if grep -qs 'already in use' "$root/lighttpd.start.log" "$root/lighttpd.error.log"; then
      die "port $port is in use by another program: choose another one with --port, as in \"sh tools/demo.sh --port $((port % 65535 + 1))\" (make demo DEMO_ARGS='--port $((port % 65535 + 1))')"
    fi
    cat "$root/lighttpd.start.log" "$root/lighttpd.error.log" >&2 2>/dev/null || true
    die "lighttpd did not start"
  }
  tries=$((tries + 1))
  [ "$tries" -le 100 ] || die "lighttpd does not answer on port $port"
  sleep 0.1
done
echo "ready: $url"
echo "Open $url/ — log in as admin with an empty password, or alice/alice, bob/bob. Ctrl-C stops the demo."

# Run from a terminal, in its foreground, the demo now takes the
# foreground for itself, so that Ctrl-C reaches it alone and not
# "make demo" around it, which would take the signal for a failure of its
# own.  Not sooner: the shell would report on every process of its own
# that ends.  A demo in the background (the browser tests') leaves the
# terminal alone.
if [ -t 0 ] && stat=$(sed 's/^.*) //' "/proc/$$/stat" 2>/dev/null); then
  # shellcheck disable=SC2086  # the fields after the command's name
  set -- $stat
  # The process group, and the terminal's foreground one.
  [ "$3" = "$6" ] && { set -m 2>/dev/null || true; }
fi

status=0
wait "$server" || status=$?
server=
echo "demo: lighttpd has stopped ($status)" >&2
exit 1
