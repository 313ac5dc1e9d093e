#!/bin/sh
# The kill test: account updates (/Action3) and configuration updates
# (/Action6) run as nobody and are killed (SIGKILL) at a random moment of
# their run, as a web server's time-out would; after each, the next run
# (the home page, whose start-up repairs what a kill left) goes, and the
# file must hold exactly its old content or the new one.  Four set-ups:
# the users file and the configuration file where only the file may be
# written (rewritten in place), and each where its directory may be
# written (a fresh file renamed over it).  The users file holds 20,000
# accounts and the configuration 2,000 keys with comments, so that a
# rewrite takes long enough to be cut in its middle.  Each update either
# grows the file or shrinks it, in turn.  The delay is drawn evenly from 0 to 1.2
# times an update's mean run time.  Counts the runs that were killed,
# the files left torn, the journals left after the next run, and the
# hidden fresh files a kill left beside the file (removed by a later
# rewrite once a minute old; counted and cleared here).  Not part of
# make check: as root, a few minutes.
#
#   sh bench/killtest.sh [BUILD_DIR] [RUNS]
#
# BUILD_DIR (default build) holds the programs under test, so an older
# tree's build gives the "before" figures; bench/killrun comes from it or
# from build/.  RUNS (default 1400) are shared out as 600 : 300 : 250 : 250.
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
case $build in /*) ;; *) build=$PWD/$build ;; esac
runs=${2:-1400}
[ "$(id -u)" = 0 ] || { echo "killtest.sh: runs the programs as nobody, so needs root" >&2; exit 1; }
killrun=$build/bench/killrun
[ -x "$killrun" ] || killrun=$PWD/build/bench/killrun
for f in "$build/bin/zeladmin" "$killrun"; do
  [ -x "$f" ] || { echo "killtest.sh: $f is missing (build it first)" >&2; exit 1; }
done
work=$(mktemp -d /tmp/zel-kill.XXXXXX)
trap 'rm -rf "$work"' EXIT INT TERM
chmod 0755 "$work"
# Copies that nobody may run wherever the build is.
cp "$build/bin/zeladmin" "$killrun" "$work/"
nobody=65534

# sandbox NAME TARGET(users|config) PLACE(inplace|renamed)
sandbox() {
  root=$work/$1
  mkdir -p "$root/etc/opt/vantrel" "$root/etc/zel" "$root/spool"
  : > "$root/spool/log"
  chown -R $nobody:$nobody "$root/spool"
  {
    echo "# The kill test's installation."
    echo "spool-directory = $root/spool"
    echo "server-directory = $root/opt"
    echo "zel-config-directory = $root/etc/zel"
    echo "company-name = Acme Fax Services"
    echo "company-phone = 555-0100"
    echo "company-fax = 555-0101"
    i=0
    while [ $i -lt 2000 ]; do
      echo "# site key $i, kept as it is"
      echo "site-key-$i = value number $i of the site"
      i=$((i + 1))
    done
  } > "$root/etc/opt/vantrel/vantrel.conf"
  awk 'BEGIN {
    print "# accounts of the fax server"
    print "[admin]\nfull-name = Administrator\nprivileges = admin"
    for (i = 1; i < 20000; i++)
      printf "[user%05d]\nfull-name = User number %d\nfrom-email = user%05d@example.com\ndid = %d\n", i, i, i, 5550000 + i
  }' > "$root/etc/zel/users"
  case $2 in
    users) file=$root/etc/zel/users ;;
    config) file=$root/etc/opt/vantrel/vantrel.conf ;;
  esac
  if [ "$3" = inplace ]; then
    chown 0:$nobody "$file" && chmod 0664 "$file"
  else
    chown $nobody:$nobody "$file" "$(dirname "$file")"
  fi
  cp "$file" "$root/old"
}

# The posted bodies: 0 grows the file, 1 shrinks it.
long="An administrator with a full name much longer than the one before it, so the file grows"
users_body() {
  case $1 in
    0) printf 'button=Update&ofname=Administrator&fname=%s&pwd=**********&pwd2=**********' "$(echo "$long" | tr ' ' +)" ;;
    1) printf 'button=Update&ofname=Administrator&fname=A&pwd=**********&pwd2=**********' ;;
  esac
}
config_body() {
  case $1 in
    0) printf 'button=Update&ocompany_name=Acme+Fax+Services&company_name=%s' "$(echo "$long" | tr ' ' +)" ;;
    1) printf 'button=Update&ocompany_name=Acme+Fax+Services&company_name=A' ;;
  esac
}

# run ROOT PATH_INFO BODY DELAY: zeladmin as nobody, killed after DELAY
# (or "none"); prints killrun's verdict.
run() {
  printf %s "$3" > "$1/body"
  env -i ZEL_ROOT="$1" SERVER_SOFTWARE=Mathopd/1.3pl7 PATH_INFO="$2" SCRIPT_NAME=/zeladmin.cgi \
    REQUEST_METHOD=POST CONTENT_TYPE=application/x-www-form-urlencoded CONTENT_LENGTH=${#3} \
    HTTP_AUTHORIZATION="Basic $(printf admin: | base64)" \
    "$work/killrun" "$4" $nobody $nobody "$work/zeladmin" < "$1/body" 2>&1 > /dev/null | tail -n 1
}

# The next run: the home page, whose start-up reads both files.
nextrun() {
  env -i ZEL_ROOT="$1" SERVER_SOFTWARE=Mathopd/1.3pl7 PATH_INFO=/Page1 SCRIPT_NAME=/zeladmin.cgi \
    HTTP_AUTHORIZATION="Basic $(printf admin: | base64)" \
    "$work/killrun" none $nobody $nobody "$work/zeladmin" > /dev/null 2>&1 < /dev/null
}

restore() { cat "$root/old" > "$file"; }

# setup LABEL TARGET PLACE RUNS
setup() {
  sandbox "$2-$3" "$2" "$3"
  if [ "$2" = users ]; then path=/Action3; else path=/Action6; fi
  # The new contents, and an update's mean time.
  for v in 0 1; do
    restore
    verdict=$(run "$root" $path "$("$2"_body $v)" none)
    [ "${verdict% *}" = "exit 0" ] || { echo "killtest.sh: the update failed ($2-$3: $verdict)" >&2; exit 1; }
    cmp -s "$root/old" "$file" && { echo "killtest.sh: the update changed nothing ($2-$3)" >&2; exit 1; }
    cp "$file" "$root/new$v"
  done
  total=0
  i=0
  while [ $i -lt 20 ]; do
    restore
    verdict=$(run "$root" $path "$("$2"_body $((i % 2)))" none)
    total=$((total + ${verdict##* }))
    i=$((i + 1))
  done
  max=$((total / 20 * 6 / 5))
  killed=0 old=0 new=0 torn=0 journals=0 fresh=0
  i=0
  while [ $i -lt "$4" ]; do
    v=$((i % 2))
    restore
    verdict=$(run "$root" $path "$("$2"_body $v)" $max)
    [ "$verdict" = killed ] && killed=$((killed + 1))
    nextrun "$root"
    if cmp -s "$file" "$root/old"; then
      old=$((old + 1))
    elif cmp -s "$file" "$root/new$v"; then
      new=$((new + 1))
    else
      torn=$((torn + 1))
      [ $torn -le 3 ] && cp "$file" "$work/torn-$2-$3-$torn"
    fi
    j=$(find "$root/spool" -name 'zel-rewrite.*' | wc -l)
    journals=$((journals + j))
    find "$root/spool" -name 'zel-rewrite.*' -delete
    f=$(find "$(dirname "$file")" -name ".$(basename "$file").*" | wc -l)
    fresh=$((fresh + f))
    find "$(dirname "$file")" -name ".$(basename "$file").*" -delete
    i=$((i + 1))
  done
  printf '| %s | %d | %d µs | %d | %d | %d | **%d** | %d | %d |\n' \
    "$1" "$4" "$max" "$killed" "$old" "$new" "$torn" "$journals" "$fresh"
}

echo "kill test of $build"
echo
echo "| set-up | runs | delays up to | killed | old content | new content | torn | journals left | fresh files left |"
echo "|---|---|---|---|---|---|---|---|---|"
setup "users file, only the file writable" users inplace $((runs * 6 / 14))
setup "configuration file, only the file writable" config inplace $((runs * 3 / 14))
setup "users file, directory writable" users renamed $((runs * 5 / 28))
setup "configuration file, directory writable" config renamed $((runs * 5 / 28))
if ls "$work"/torn-* > /dev/null 2>&1; then
  kept=$(mktemp -d /tmp/zel-torn.XXXXXX)
  cp "$work"/torn-* "$kept/"
  echo
  echo "The first torn files of each set-up are in $kept."
fi
