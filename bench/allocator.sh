#!/bin/sh
# The programs' own allocator against the C library's: zeladmin as built
# (build dir $1, default build) and the same sources built with
# -DZEL_ALLOCATOR=OFF (build dir $2, default build-noalloc, configured and
# built here), side by side: start-up alone (the start-up benchmark's
# request, which answers nothing) and the account list (/Page4) with users
# files of 10 and 10,000 accounts, signed in as the file's last account.
# Peak resident set sizes (GNU time) follow the timings.  Every command
# runs through env(1).  Results: bench/results/allocator.md.
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
plain=${2:-build-noalloc}
command -v hyperfine >/dev/null || { echo "allocator.sh: hyperfine is missing (make bench installs it)" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "allocator.sh: GNU time (/usr/bin/time) is missing" >&2; exit 1; }
[ -x "$build/bin/zeladmin" ] || { echo "allocator.sh: run make first" >&2; exit 1; }
grep -q '^ZEL_ALLOCATOR:BOOL=ON' "$build/CMakeCache.txt" ||
  { echo "allocator.sh: $build is built without the allocator" >&2; exit 1; }
cmake -S . -B "$plain" -G Ninja -DZEL_ALLOCATOR=OFF >/dev/null
cmake --build "$plain" --target zeladmin >/dev/null
own=$(cd "$build" && pwd)/bin/zeladmin
libc=$(cd "$plain" && pwd)/bin/zeladmin
nm -D --defined-only "$own" | grep -q ' T malloc$' || { echo "allocator.sh: $own has no malloc of its own" >&2; exit 1; }
! nm -D --defined-only "$libc" | grep -q ' T malloc$' || { echo "allocator.sh: $libc has a malloc of its own" >&2; exit 1; }

work=$(mktemp -d /tmp/zel-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT INT TERM

digest=$(printf %s secret | openssl sha1 -binary | base64)
auth="Basic $(printf %s boss:secret | base64)"

# sandbox NAME ACCOUNTS
sandbox() {
  root=$work/$1
  mkdir -p "$root/etc/opt/vantrel" "$root/spool" "$root/etc"
  : > "$root/spool/log"
  {
    echo "spool-directory = $root/spool"
    echo "server-directory = $root/opt"
    echo "zel-config-directory = $root/etc"
    echo "company-name = \"Acme Fax Services\""
    echo "date-format = %x %X"
  } > "$root/etc/opt/vantrel/vantrel.conf"
  awk -v n="$2" -v digest="$digest" 'BEGIN {
    print "[admin]\nfull-name = Administrator\nprivileges = admin"
    printf "password = %s\n", digest
    for (i = 2; i < n; i++) {
      printf "[user%05d]\nfull-name = '\''User number %d'\''\n", i, i
      printf "from-email = user%05d@example.com\ndid = %d\npassword = %s\n", i, 5550000 + i, digest
    }
    printf "[boss]\nfull-name = Boss\npassword = %s\nprivileges = admin\n", digest
  }' > "$root/etc/users"
}

sandbox u10 10
sandbox u10000 10000

# startup PROGRAM; page PROGRAM SANDBOX
startup() { echo "env ZEL_ROOT=$work/u10 $1"; }
page() {
  echo "env ZEL_ROOT=$work/$2 SERVER_SOFTWARE=Mathopd/1.3pl7 PATH_INFO=/Page4 SCRIPT_NAME=/zeladmin.cgi HTTP_AUTHORIZATION='$auth' $1"
}

# Both builds must answer byte for byte alike.
for s in u10 u10000; do
  eval "$(page "$own" $s)" > "$work/own.out"
  eval "$(page "$libc" $s)" > "$work/libc.out"
  grep -q "Select User" "$work/own.out" || { echo "allocator.sh: /Page4 failed ($s)" >&2; exit 1; }
  cmp -s "$work/own.out" "$work/libc.out" || { echo "allocator.sh: the builds differ on /Page4 ($s)" >&2; exit 1; }
done

mkdir -p bench/results
out=bench/results/allocator.md
hyperfine -N --warmup 20 --min-runs 200 \
  --export-markdown "$work/times.md" \
  -n "start-up, C library allocator (baseline)" "$(startup "$libc")" \
  -n "start-up, own allocator" "$(startup "$own")" \
  -n "/Page4 10 accounts, C library allocator (baseline)" "$(page "$libc" u10)" \
  -n "/Page4 10 accounts, own allocator" "$(page "$own" u10)" \
  -n "/Page4 10000 accounts, C library allocator (baseline)" "$(page "$libc" u10000)" \
  -n "/Page4 10000 accounts, own allocator" "$(page "$own" u10000)"

# rss COMMAND: the peak resident set size in KiB.
rss() { eval "/usr/bin/time -f %M -o $work/rss $1" > /dev/null; cat "$work/rss"; }
{
  cat "$work/times.md"
  echo
  echo "| Peak RSS [KiB] | C library allocator | own allocator |"
  echo "|:---|---:|---:|"
  echo "| start-up | $(rss "$(startup "$libc")") | $(rss "$(startup "$own")") |"
  echo "| /Page4, 10 accounts | $(rss "$(page "$libc" u10)") | $(rss "$(page "$own" u10)") |"
  echo "| /Page4, 10000 accounts | $(rss "$(page "$libc" u10000)") | $(rss "$(page "$own" u10000)") |"
} > "$out"
cat "$out"
