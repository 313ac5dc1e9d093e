#!/bin/sh
# The send queue over a full first bitmap block, 65,344 requests: the
# request list (/Page102) and the statistics page (/Page101), each one
# sequential scan of the 16 MB record file, against cat reading that file
# (hyperfine sends every command's output to /dev/null) and dd reading it
# in 64 KiB blocks, also started through env(1) as zeladmin is; the slot
# allocator, `quectl -F 65344` taking all 65,344 slots one after another on
# a fresh bitmap each run, against `quectl -F 1`; and the peak memory (max
# RSS) of the list page against cat.  The signed-in administrator has a
# from-email address, so the statistics page fills its user column too.
# Takes the build directory as $1 (default build).
# Results: bench/results/queue.md.
set -eu
cd "$(dirname "$0")/.."
. bench/common.sh
bench_start queue.sh "${1:-}" bin/zeladmin tools/quectl
quectl=$build/tools/quectl
[ -x /usr/bin/time ] || { echo "queue.sh: /usr/bin/time is missing" >&2; exit 1; }

count=65344

# sandbox NAME: an installation with an empty spool directory.
sandbox() {
  root=$work/$1
  mkdir -p "$root/etc/opt/vantrel" "$root/spool" "$root/etc" "$root/opt/lib"
  : > "$root/spool/log"
  printf '[admin]\nfrom-email = alice@example.com\nprivileges = admin\n' > "$root/etc/users"
  {
    echo "spool-directory = $root/spool"
    echo "server-directory = $root/opt"
    echo "fax-directory = $root/opt"
    echo "zel-config-directory = $root/etc"
  } > "$root/etc/opt/vantrel/vantrel.conf"
}

sandbox full
sandbox alloc
env ZEL_ROOT=$work/full "$quectl" -g $count
db=$work/full/spool/status.db
[ "$(wc -c < "$db")" -eq $(((count + 1) * 256)) ] || { echo "queue.sh: the database is not full" >&2; exit 1; }

auth="Basic $(printf %s admin:x | base64)"
# page PATH
page() {
  echo "env ZEL_ROOT=$work/full SERVER_SOFTWARE=Mathopd/1.3pl7 PATH_INFO=$1 SCRIPT_NAME=/zeladmin.cgi HTTP_AUTHORIZATION='$auth' $bin"
}
rows=$(eval "$(page /Page102)" | grep -o 'Page104/s=' | wc -l)
[ "$rows" -eq 25 ] || { echo "queue.sh: the list page shows $rows rows" >&2; exit 1; }
eval "$(page /Page102)" | grep -q "(0 newer requests; $((count - 25)) older requests)" ||
  { echo "queue.sh: wrong counts on the list page" >&2; exit 1; }
eval "$(page /Page101)" | grep -q "Cumulative Queue Statistics" || { echo "queue.sh: no statistics page" >&2; exit 1; }
env ZEL_ROOT=$work/alloc "$quectl" -F $count
[ "$(env ZEL_ROOT=$work/alloc "$quectl" -F 1 -v)" = "slot $((count + 1))" ] ||
  { echo "queue.sh: quectl -F did not fill the bitmap" >&2; exit 1; }

mkdir -p bench/results
# Every run of every command starts from no bitmap; only the allocations
# read it.
hyperfine -N --warmup 2 --min-runs 10 \
  --prepare "rm -f $work/alloc/spool/status.bm" \
  --export-markdown bench/results/queue.md \
  -n "cat status.db, 65344 records (baseline)" "cat $db" \
  -n "dd of status.db in 64 KiB blocks (baseline)" "dd if=$db of=/dev/null bs=64k status=none" \
  -n "dd of status.db in 64 KiB blocks through env, as zeladmin runs (baseline)" "env ZEL_ROOT=$work/full dd if=$db of=/dev/null bs=64k status=none" \
  -n "zeladmin /Page102 (request list), 65344 requests" "$(page /Page102)" \
  -n "zeladmin /Page101 (statistics), 65344 requests" "$(page /Page101)" \
  -n "quectl -F 1 (baseline)" "env ZEL_ROOT=$work/alloc $quectl -F 1" \
  -n "quectl -F 65344, fresh bitmap" "env ZEL_ROOT=$work/alloc $quectl -F $count"

# maxrss COMMAND: the peak resident size in KB.
maxrss() {
  eval "/usr/bin/time -f %M -o $work/rss $1" > /dev/null
  cat "$work/rss"
}
{
  echo
  echo "| Peak memory (max RSS) | KB |"
  echo "|:---|---:|"
  echo "| cat status.db, 65344 records (baseline) | $(maxrss "cat $db") |"
  echo "| zeladmin /Page102 (request list), 65344 requests | $(maxrss "$(page /Page102)") |"
} >> bench/results/queue.md
cat bench/results/queue.md
