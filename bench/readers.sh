#!/bin/sh
# Readers during rewrites in place: a users file of 20,000 accounts that
# only the file may be written (its directory is root's), one writer that
# updates an account in the middle of it over and over (/Action3, its
# full name alternately longer and shorter, so every later section moves),
# and 1,500 requests of signed-in users for their own form (/Page3), 50 at
# a time, all as nobody.  A request went wrong when its page does not show
# the account's own full name: counted as an empty "New User" form, a
# valid login refused, "ERR 999" (the file could not be loaded) or other.
# Not part of make check: as root, a minute or two.
#
#   sh bench/readers.sh [BUILD_DIR]
#
# BUILD_DIR (default build) holds the programs under test, so an older
# tree's build gives the "before" figures; bench/killrun comes from it or
# from build/.
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
case $build in /*) ;; *) build=$PWD/$build ;; esac
[ "$(id -u)" = 0 ] || { echo "readers.sh: runs the programs as nobody, so needs root" >&2; exit 1; }
killrun=$build/bench/killrun
[ -x "$killrun" ] || killrun=$PWD/build/bench/killrun
for f in "$build/bin/zeladmin" "$killrun"; do
  [ -x "$f" ] || { echo "readers.sh: $f is missing (build it first)" >&2; exit 1; }
done
work=$(mktemp -d /tmp/zel-readers.XXXXXX)
trap 'touch "$work/stop"; wait; rm -rf "$work"' EXIT INT TERM
chmod 0755 "$work"
cp "$build/bin/zeladmin" "$killrun" "$work/"
nobody=65534
root=$work/box
mkdir -p "$root/etc/opt/vantrel" "$root/etc/zel" "$root/spool"
: > "$root/spool/log"
chown -R $nobody:$nobody "$root/spool"
{
  echo "spool-directory = $root/spool"
  echo "server-directory = $root/opt"
  echo "zel-config-directory = $root/etc/zel"
  echo "company-name = Acme Fax Services"
  echo "company-phone = 555-0100"
  echo "company-fax = 555-0101"
} > "$root/etc/opt/vantrel/vantrel.conf"
digest=$(printf %s secret | openssl sha1 -binary | base64)
awk -v digest="$digest" 'BEGIN {
  print "# accounts of the fax server"
  printf "[admin]\nfull-name = Administrator\nprivileges = admin\npassword = %s\n", digest
  for (i = 1; i < 20000; i++) {
    printf "[user%05d]\nfull-name = User number %d\n", i, i
    printf "from-email = user%05d@example.com\ndid = %d\npassword = %s\n", i, 5550000 + i, digest
  }
}' > "$root/etc/zel/users"
chown 0:$nobody "$root/etc/zel/users"
chmod 0664 "$root/etc/zel/users"

# zeladmin PATH_INFO ACCOUNT [BODY]: a request as nobody, its page on
# standard output and its standard error after it.
cat > "$work/zeladmin.sh" <<EOF
#!/bin/sh
auth="Basic \$(printf %s "\$2:secret" | base64)"
if [ \$# -gt 2 ]; then
  printf %s "\$3" | env -i ZEL_ROOT=$root SERVER_SOFTWARE=Mathopd/1.3pl7 PATH_INFO=\$1 \\
    SCRIPT_NAME=/zeladmin.cgi REQUEST_METHOD=POST CONTENT_TYPE=application/x-www-form-urlencoded \\
    CONTENT_LENGTH=\${#3} HTTP_AUTHORIZATION="\$auth" $work/killrun none $nobody $nobody $work/zeladmin 2>&1
else
  env -i ZEL_ROOT=$root SERVER_SOFTWARE=Mathopd/1.3pl7 PATH_INFO=\$1 SCRIPT_NAME=/zeladmin.cgi \\
    HTTP_AUTHORIZATION="\$auth" $work/killrun none $nobody $nobody $work/zeladmin < /dev/null 2>&1
fi
EOF
# reader N: one signed-in request of account N for its own form.
cat > "$work/reader.sh" <<EOF
#!/bin/sh
name=\$(printf user%05d \$1)
page=\$(sh $work/zeladmin.sh /Page3 \$name)
case \$page in
  *"value=\\"User number \$1\\""*) verdict=right ;;
  *"are not valid"*) verdict="valid login refused" ;;
  *"ERR 999"*) verdict="ERR 999" ;;
  *"New User"*) verdict="empty New User form" ;;
  *) verdict=other ;;
esac
echo "\$verdict" >> $work/verdicts
EOF

# The writer: user10000 changes its full name again and again.
writer() {
  n=0
  while [ ! -e "$work/stop" ]; do
    if [ $((n % 2)) = 0 ]; then
      old="User+number+10000" new="User+number+10000+with+a+much+longer+full+name+than+before"
    else
      old="User+number+10000+with+a+much+longer+full+name+than+before" new="User+number+10000"
    fi
    page=$(sh "$work/zeladmin.sh" /Action3 user10000 \
      "button=Update&ofname=$old&fname=$new&pwd=**********&pwd2=**********")
    case $page in *"has been changed"*) n=$((n + 1)) ;; *) echo "readers.sh: an update failed" >&2 ;; esac
  done
  echo $n > "$work/updates"
}

: > "$work/verdicts"
writer &
# Accounts other than the writer's, spread over the file.
awk 'BEGIN { srand(26); for (k = 0; k < 1500; k++) { i = 1 + int(rand() * 19998); if (i >= 10000) i++; print i } }' |
  xargs -P 50 -n 1 sh "$work/reader.sh"
touch "$work/stop"
wait
echo "readers during rewrites in place, $build"
echo
echo "| requests | wrong | empty New User form | valid login refused | ERR 999 | other | updates meanwhile |"
echo "|---|---|---|---|---|---|---|"
count() { grep -c -x "$1" "$work/verdicts" || true; }
printf '| %d | **%d** | %d | %d | %d | %d | %d |\n' "$(wc -l < "$work/verdicts")" \
  "$(grep -c -v -x right "$work/verdicts" || true)" "$(count "empty New User form")" \
  "$(count "valid login refused")" "$(count "ERR 999")" "$(count other)" "$(cat "$work/updates")"
