#!/bin/sh
# A signed-in request under the raw-HTTP web server for /Page4 by an account
# without the admin privilege (the Security Violation page), with users
# files of 10 and 10,000 accounts, against a minimal CGI program that writes
# as many bytes.  The signed-in account is the file's last one, with a
# password, so the whole file is searched and a digest computed.  Every
# command runs through env(1), the baseline too.
# Results: bench/results/page4.md.
set -eu
cd "$(dirname "$0")/.."
bin=build/bin/zeladmin
base=build/bench/write_bytes
[ -x "$bin" ] && [ -x "$base" ] || { echo "page4.sh: run make first" >&2; exit 1; }
command -v hyperfine >/dev/null || { echo "page4.sh: hyperfine is missing (make bench installs it)" >&2; exit 1; }

work=$(mktemp -d /tmp/zel-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT INT TERM

# The stored digest of the password "secret", and the header for
# clerk:secret.
digest=$(printf %s secret | openssl sha1 -binary | base64)
auth="Basic $(printf %s clerk:secret | base64)"

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
  } > "$root/etc/opt/vantrel/vantrel.conf"
  awk -v n="$2" -v digest="$digest" 'BEGIN {
    print "# accounts of the fax server"
    print "[admin]\nfull-name = Administrator\nprivileges = admin"
    for (i = 2; i < n; i++) {
      printf "[user%05d]\nfull-name = '\''User number %d'\''\n", i, i
      printf "from-email = user%05d@example.com\ndid = %d\npassword = %s\n", i, 5550000 + i, digest
    }
    printf "[clerk]\nfull-name = Clerk\nfrom-email = clerk@example.com\npassword = %s\nprivileges = postmaster\n", digest
  }' > "$root/etc/users"
}

sandbox u10 10
sandbox u10000 10000

request() {
  echo "env ZEL_ROOT=$work/$1 SERVER_SOFTWARE=Mathopd/1.3pl7 PATH_INFO=/Page4 SCRIPT_NAME=/zeladmin.cgi HTTP_AUTHORIZATION='$auth' $bin"
}

bytes=$(eval "$(request u10)" | wc -c)
[ "$bytes" = "$(eval "$(request u10000)" | wc -c)" ] || { echo "page4.sh: the pages differ in size" >&2; exit 1; }
eval "$(request u10)" | grep -q "Security Violation" || { echo "page4.sh: not the Security Violation page" >&2; exit 1; }

mkdir -p bench/results
# The page ends the request with exit status 1, as the guard does.
hyperfine -N -i --warmup 20 --min-runs 200 \
  --export-markdown bench/results/page4.md \
  -n "minimal CGI, $bytes bytes (baseline)" "env ZEL_ROOT=$work/u10 $base $bytes" \
  -n "zeladmin /Page4, 10 accounts" "$(request u10)" \
  -n "zeladmin /Page4, 10000 accounts" "$(request u10000)"
cat bench/results/page4.md
