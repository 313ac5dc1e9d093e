#!/bin/sh
# The dispatcher: one run for a fax that nobody claims (it goes to the
# unclaimed queue) against a C++ program that only hard-links and unlinks
# a file; then 200 faxes dispatched by parallel runs, each to two accounts
# whose delivery programs exit 0, counting the faxes delivered, queued,
# left in place and lost (a fax that is gone without a delivery or a
# queued name); and 200 unclaimed faxes in parallel into a spool whose
# queue directories do not exist yet.  Takes the build directory as $1
# (default build).  Results: bench/results/dispatch.md.
set -eu
cd "$(dirname "$0")/.."
. bench/common.sh
bench_start dispatch.sh "${1:-}" bin/zeldispatch bench/link_unlink bench/make_fax
bin=$build/bin/zeldispatch
base=$build/bench/link_unlink
makefax=$build/bench/make_fax
deliver=$PWD/tools/deliver
feg=$PWD/tools/tarnixfeg
for f in "$deliver" "$feg"; do
  [ -x "$f" ] || { echo "dispatch.sh: $f is missing" >&2; exit 1; }
done

# sandbox NAME USERS: an installation whose users file is USERS.
sandbox() {
  root=$work/$1
  mkdir -p "$root/etc/opt/vantrel" "$root/spool/recv" "$root/etc/dev" "$root/opt/lib" "$root/tmp"
  : > "$root/spool/log"
  cp "$feg" "$root/opt/lib/tarnixfeg"
  {
    echo "spool-directory = $root/spool"
    echo "server-directory = $root/opt"
    echo "fax-directory = $root/opt"
    echo "zel-directory = $root/opt"
    echo "zel-config-directory = $root/etc"
  } > "$root/etc/opt/vantrel/vantrel.conf"
  printf '%s' "$2" > "$root/etc/users"
  : > "$root/etc/dev/ttyS0"
}

# One unclaimed fax: the accounts wait for other numbers.
sandbox one "[admin]
privileges = admin
[sales]
did = 5550199
delivery-program = $deliver \$file
"
"$makefax" "$work/fax.tif" 5550100
fax=$work/one/spool/recv/fa00042
queued=$work/one/spool/inbox/unclaimed/df42+0
# Each run takes the fax away: put it back and empty the queue first.
printf 'rm -f %s/one/spool/inbox/unclaimed/*\ncp %s/fax.tif %s\n' "$work" "$work" "$fax" > "$work/prepare.sh"
prepare="sh $work/prepare.sh"
$prepare
env ZEL_ROOT="$work/one" "$bin" "$fax"
[ -f "$queued" ] && [ ! -e "$fax" ] || { echo "dispatch.sh: the fax was not queued" >&2; exit 1; }
mkdir -p "$work/one/spool/inbox/unclaimed"

mkdir -p bench/results
hyperfine -N --warmup 10 --min-runs 200 --prepare "$prepare" \
  --export-markdown bench/results/dispatch.md \
  -n "link and unlink (baseline)" "$base $fax $queued" \
  -n "zeldispatch, unclaimed fax" "env ZEL_ROOT=$work/one $bin $fax"

# 200 faxes, two accounts each, eight runs at a time.
sandbox many "[admin]
privileges = admin
[sales]
did = 5550100
delivery-program = $deliver \$file sales
[orders]
did = 5550100
delivery-program = $deliver \$file orders
"
i=10000
while [ $i -lt 10200 ]; do
  "$makefax" "$work/many/spool/recv/fa$i" 5550100
  i=$((i + 1))
done
start=$(date +%s%N)
ls "$work"/many/spool/recv/fa* | STANDIN_LOG="$work/deliveries" ZEL_ROOT="$work/many" xargs -n 1 -P 8 "$bin"
end=$(date +%s%N)
delivered=$(awk '{print $2}' "$work/deliveries" | sort -u | wc -l)
deliveries=$(wc -l < "$work/deliveries")
queuedn=$(ls "$work/many/spool/inbox/unclaimed" 2>/dev/null | wc -l)
left=$(ls "$work/many/spool/recv" | wc -l)
lost=$((200 - delivered - queuedn - left))
{
  echo
  echo "| 200 faxes, 8 parallel runs, 2 accounts each | count |"
  echo "|---|---:|"
  echo "| faxes delivered (file removed) | $delivered |"
  echo "| deliveries run | $deliveries |"
  echo "| faxes queued as unclaimed | $queuedn |"
  echo "| faxes left in place | $left |"
  echo "| faxes lost | $lost |"
  echo "| wall time | $(( (end - start) / 1000000 )) ms |"
} >> bench/results/dispatch.md

# 200 faxes that nobody claims, into a spool without an inbox yet, so that
# the first runs race to make the queue directories.
sandbox race "[admin]
privileges = admin
"
i=20000
while [ $i -lt 20200 ]; do
  "$makefax" "$work/race/spool/recv/fa$i" 5550100
  i=$((i + 1))
done
ls "$work"/race/spool/recv/fa* | ZEL_ROOT="$work/race" xargs -n 1 -P 8 "$bin" 2>/dev/null
rqueued=$(ls "$work/race/spool/inbox/unclaimed" | wc -l)
rleft=$(ls "$work/race/spool/recv" | wc -l)
rlost=$((200 - rqueued - rleft))
{
  echo
  echo "| 200 unclaimed faxes, 8 parallel runs, no inbox yet | count |"
  echo "|---|---:|"
  echo "| faxes queued as unclaimed | $rqueued |"
  echo "| faxes left in place | $rleft |"
  echo "| faxes lost | $rlost |"
} >> bench/results/dispatch.md
cat bench/results/dispatch.md
[ "$rlost" -eq 0 ] && [ "$lost" -eq 0 ] || { echo "dispatch.sh: $lost faxes lost" >&2; exit 1; }
