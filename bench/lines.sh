#!/bin/sh
# The fax line pages under the raw-HTTP web server with 4 and 200 fax
# lines (a line file and a status file each, device /dev/null): the list
# of lines (/Page20) and the status page of all lines (/Page103), which
# reads every status file and probes the daemons' process ids, each
# against a minimal CGI program that writes as many bytes.  Every command
# runs through env(1), the baselines too.
# Usage: bench/lines.sh [BUILD_DIR]   (default: build)
# Results: bench/results/lines.md.
set -eu
cd "$(dirname "$0")/.."
. bench/common.sh
bench_start lines.sh "${1:-}" bin/zeladmin bench/write_bytes

auth="Basic $(printf %s admin:x | base64)"

# sandbox NAME LINES
sandbox() {
  root=$work/$1
  mkdir -p "$root/etc/opt/vantrel" "$root/spool/devstatus" "$root/etc/dev" "$root/opt/lib"
  : > "$root/spool/log"
  {
    echo "spool-directory = $root/spool"
    echo "server-directory = $root/opt"
    echo "fax-directory = $root/opt"
    echo "zel-config-directory = $root/etc"
  } > "$root/etc/opt/vantrel/vantrel.conf"
  printf '[admin]\nfull-name = Administrator\nprivileges = admin\n' > "$root/etc/users"
  : > "$root/etc/inittab"
  i=1
  while [ "$i" -le "$2" ]; do
    {
      echo "# line $i"
      echo "device = /dev/null"
      echo "uucp-lock-file = /var/lock/LCK..null"
      echo "receive-only = No"
      echo "speed = 19200"
      echo "fax-speed = 19200"
      echo "modem-init-string = ATM0S0=0S7=45&D2&C1"
      echo "tsi = \"+1 555 0100\""
    } > "$root/etc/dev/fax-line-$i"
    {
      echo "status = idle"
      echo "listen-process-id = 1"
      echo "process-id = 2147483646"
    } > "$root/spool/devstatus/fax-line-$i"
    i=$((i + 1))
  done
}

sandbox l4 4
sandbox l200 200

# request SANDBOX PATH
request() {
  echo "env ZEL_ROOT=$work/$1 SERVER_SOFTWARE=Mathopd/1.3pl7 PATH_INFO=$2 SCRIPT_NAME=/zeladmin.cgi HTTP_AUTHORIZATION='$auth' $bin"
}

size() { eval "$1" | wc -c; }
for page in /Page20 /Page103; do
  eval "$(request l200 $page)" | grep -q "fax-line-200" || { echo "lines.sh: $page does not list the lines" >&2; exit 1; }
done
list4=$(size "$(request l4 /Page20)")
list200=$(size "$(request l200 /Page20)")
status4=$(size "$(request l4 /Page103)")
status200=$(size "$(request l200 /Page103)")

mkdir -p bench/results
hyperfine -N --warmup 10 --min-runs 100 \
  --export-markdown bench/results/lines.md \
  -n "minimal CGI, $list4 bytes (baseline)" "env ZEL_ROOT=$work/l4 $base $list4" \
  -n "zeladmin /Page20, 4 lines" "$(request l4 /Page20)" \
  -n "minimal CGI, $list200 bytes (baseline)" "env ZEL_ROOT=$work/l4 $base $list200" \
  -n "zeladmin /Page20, 200 lines" "$(request l200 /Page20)" \
  -n "minimal CGI, $status4 bytes (baseline)" "env ZEL_ROOT=$work/l4 $base $status4" \
  -n "zeladmin /Page103, 4 lines" "$(request l4 /Page103)" \
  -n "minimal CGI, $status200 bytes (baseline)" "env ZEL_ROOT=$work/l4 $base $status200" \
  -n "zeladmin /Page103, 200 lines" "$(request l200 /Page103)"
cat bench/results/lines.md
