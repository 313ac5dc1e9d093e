#!/bin/sh
# The administration pages under the raw-HTTP web server with users files
# of 10 and 10,000 accounts: the home page (/Page1), the account list
# (/Page4), the Security Violation page that /Page4 gives a user without
# the admin privilege, and an Update of one account on /Action4 (which
# rewrites the whole users file), each against a minimal CGI program that
# writes as many bytes.  The signed-in administrator is the file's last account, with
# a password, so the whole file is searched and a digest computed.  Every
# command runs through env(1), the posts and cp(1) through sh(1), baselines
# too.  The Update also runs beside cp of the 10,000-account users file,
# and beside what it does at the least: one sh(1) that copies the file
# with cp and then runs the minimal CGI writing as many bytes as the
# Update's page (the copy plus the process floor).  Takes the build
# directory as $1 (default build).
# Results: bench/results/pages.md.
set -eu
cd "$(dirname "$0")/.."
. bench/common.sh
bench_start pages.sh "${1:-}" bin/zeladmin bench/write_bytes

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
    echo "company-phone = 555-0100"
    echo "company-fax = 555-0101"
    echo "email-config = yes"
  } > "$root/etc/opt/vantrel/vantrel.conf"
  awk -v n="$2" -v digest="$digest" 'BEGIN {
    print "# accounts of the fax server"
    print "[admin]\nfull-name = Administrator\nfrom-email = fax@example.com\nprivileges = admin"
    printf "password = %s\n", digest
    for (i = 2; i < n; i++) {
      printf "[user%05d]\nfull-name = '\''User number %d'\''\n", i, i
      printf "from-email = user%05d@example.com\ndid = %d\npassword = %s\n", i, 5550000 + i, digest
    }
    printf "[boss]\nfull-name = Boss\nfrom-email = boss@example.com\npassword = %s\nprivileges = admin\n", digest
  }' > "$root/etc/users"
}

sandbox u10 10
sandbox u10000 10000

# request SANDBOX PATH [AUTHORIZATION]
request() {
  echo "env ZEL_ROOT=$work/$1 SERVER_SOFTWARE=Mathopd/1.3pl7 PATH_INFO=$2 SCRIPT_NAME=/zeladmin.cgi HTTP_AUTHORIZATION='${3:-$auth}' $bin"
}
# An account without the admin privilege, in the middle of the file.
clerk="Basic $(printf %s user00009:secret | base64)"

# The Update of user05000's full name, as the administrator's form posts it.
body="obp=Update&admin=x&ouname=user05000&uname=user05000&ofname=User+number+5000&fname=Someone+else"
body="$body&opwd=$(printf %s "$digest" | sed 's/+/%2B/g; s/\//%2F/g; s/=/%3D/g')&pwd=**********&pwd2=**********"
body="$body&odf=html&df=html&button=Update"
printf %s "$body" > "$work/body"
post() {
  echo "sh -c \"exec env ZEL_ROOT=$work/$1 SERVER_SOFTWARE=Mathopd/1.3pl7 PATH_INFO=/Action4 SCRIPT_NAME=/zeladmin.cgi REQUEST_METHOD=POST CONTENT_TYPE=application/x-www-form-urlencoded CONTENT_LENGTH=${#body} HTTP_AUTHORIZATION='$auth' $bin < $work/body\""
}

size() { eval "$1" | wc -c; }
home=$(size "$(request u10 /Page1)")
[ "$home" = "$(size "$(request u10000 /Page1)")" ] || { echo "pages.sh: the home pages differ in size" >&2; exit 1; }
list10=$(size "$(request u10 /Page4)")
list10000=$(size "$(request u10000 /Page4)")
update=$(size "$(post u10000)")
denied=$(size "$(request u10 /Page4 "$clerk")")
[ "$denied" = "$(size "$(request u10000 /Page4 "$clerk")")" ] || { echo "pages.sh: the Security Violation pages differ in size" >&2; exit 1; }
eval "$(request u10000 /Page4 "$clerk")" | grep -q "Security Violation" || { echo "pages.sh: not the Security Violation page" >&2; exit 1; }
eval "$(post u10000)" | grep -q "has been changed" || { echo "pages.sh: the update failed" >&2; exit 1; }
grep -q "^full-name = .Someone else" "$work/u10000/etc/users" || { echo "pages.sh: the users file is unchanged" >&2; exit 1; }

mkdir -p bench/results
# The Security Violation page ends the request with exit status 1, as the
# guard does, hence -i.
hyperfine -N -i --warmup 10 --min-runs 100 \
  --export-markdown bench/results/pages.md \
  -n "minimal CGI, $home bytes (baseline)" "env ZEL_ROOT=$work/u10 $base $home" \
  -n "zeladmin /Page1, 10 accounts" "$(request u10 /Page1)" \
  -n "zeladmin /Page1, 10000 accounts" "$(request u10000 /Page1)" \
  -n "minimal CGI, $list10 bytes (baseline)" "env ZEL_ROOT=$work/u10 $base $list10" \
  -n "zeladmin /Page4, 10 accounts" "$(request u10 /Page4)" \
  -n "minimal CGI, $list10000 bytes (baseline)" "env ZEL_ROOT=$work/u10 $base $list10000" \
  -n "zeladmin /Page4, 10000 accounts" "$(request u10000 /Page4)" \
  -n "minimal CGI, $denied bytes (baseline)" "env ZEL_ROOT=$work/u10 $base $denied" \
  -n "zeladmin /Page4 without admin, 10 accounts" "$(request u10 /Page4 "$clerk")" \
  -n "zeladmin /Page4 without admin, 10000 accounts" "$(request u10000 /Page4 "$clerk")" \
  -n "minimal CGI through sh, $update bytes (baseline)" "sh -c \"exec env ZEL_ROOT=$work/u10 $base $update < $work/body\"" \
  -n "cp of the 10000-account users file through sh (baseline)" "sh -c \"exec cp $work/u10000/etc/users $work/users.copy\"" \
  -n "cp of the file, then the minimal CGI, $update bytes, through sh (baseline)" "sh -c \"cp $work/u10000/etc/users $work/users.copy; exec env ZEL_ROOT=$work/u10 $base $update < $work/body\"" \
  -n "zeladmin Update on /Action4, 10000 accounts" "$(post u10000)"
cat bench/results/pages.md
