#!/bin/sh
# The system log page (/Page91) over a 1 KiB log and over a 1 GiB log: the
# first view (the last twenty lines) and a page from the middle of the
# file, each against a minimal CGI program that writes as many bytes.  The
# pager seeks and reads bounded windows, so the 1 GiB pages should cost
# about what the 1 KiB pages cost.  The 1 GiB log is a 1 MiB block of log
# lines written 1024 times; it is removed afterwards.
# Usage: bench/logview.sh [BUILD-DIR]   Results: bench/results/logview.md.
set -eu
cd "$(dirname "$0")/.."
. bench/common.sh
bench_start logview.sh "${1:-}" bin/zeladmin bench/write_bytes

# sandbox NAME
sandbox() {
  root=$work/$1
  mkdir -p "$root/etc/opt/vantrel" "$root/spool" "$root/etc"
  {
    echo "spool-directory = $root/spool"
    echo "server-directory = $root/opt"
    echo "zel-config-directory = $root/etc"
  } > "$root/etc/opt/vantrel/vantrel.conf"
  printf '[admin]\nprivileges = admin\n' > "$root/etc/users"
}

# loglines BYTES: whole log lines, about BYTES of them, ending in a newline.
loglines() {
  awk -v bytes="$1" 'BEGIN {
    for (i = 1; n < bytes; i++) {
      line = sprintf("09/02/03 13:%02d:%02d: zeladmin[%d,0]: Request %d served for user%05d", \
                     int(i / 60) % 60, i % 60, 1000 + i % 30000, i, i % 10000)
      if (n + length(line) + 1 > bytes) break
      print line
      n += length(line) + 1
    }
  }'
}

sandbox k1
loglines 1024 > "$work/k1/spool/log"

sandbox g1
loglines 1048576 > "$work/block"
: > "$work/g1/spool/log"
i=0
while [ $i -lt 1024 ]; do cat "$work/block"; i=$((i + 1)); done >> "$work/g1/spool/log"
rm -f "$work/block"

# request SANDBOX PATH
request() {
  echo "env ZEL_ROOT=$work/$1 PATH_INFO=$2 SCRIPT_NAME=/zeladmin.cgi $bin"
}
middle() { echo "/Page91/o=$(( $(wc -c < "$work/$1/spool/log") / 2 ))/l=-20"; }

size() { eval "$1" | wc -c; }
firstk=$(size "$(request k1 /Page91)")
firstg=$(size "$(request g1 /Page91)")
midk=$(middle k1)
midg=$(middle g1)
eval "$(request g1 "$midg")" | grep -q "Next 20 Lines" || { echo "logview.sh: no middle page" >&2; exit 1; }

mkdir -p bench/results
hyperfine -N --warmup 10 --min-runs 100 \
  --export-markdown bench/results/logview.md \
  -n "minimal CGI, $firstg bytes (baseline)" "env ZEL_ROOT=$work/k1 $base $firstg" \
  -n "zeladmin /Page91, 1 KiB log ($firstk bytes)" "$(request k1 /Page91)" \
  -n "zeladmin /Page91, 1 GiB log ($firstg bytes)" "$(request g1 /Page91)" \
  -n "zeladmin $midk, 1 KiB log" "$(request k1 "$midk")" \
  -n "zeladmin $midg, 1 GiB log" "$(request g1 "$midg")"
cat bench/results/logview.md
