#!/bin/sh
# The Debian package: builds it (tools/make-deb.sh), checks its file list,
# its dependencies and lintian's verdict, unpacks it with dpkg -x and runs
# the three programs from there in a sandbox installation (ZEL_ROOT):
# zelpasswd adds the administrator, zeladmin signs them in, zeldispatch
# delivers a fax.
#
#   sh tests/package/run.sh [BUILD_DIR]     (default build-deb)
#
# Prints "N passed, N failed"; exits non-zero when a check failed.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
build=${1:-$top/build-deb}

passed=0
failed=0
check() {   # check NAME COMMAND...: one check, told when it fails
  name=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "package: FAILED: $name" >&2
  fi
}

deb=$(sh "$top/tools/make-deb.sh" "$build" | tail -n 1)
[ -f "$deb" ] || { echo "package: no package was made" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/zelpkg.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

# The package holds the install layout and nothing else.
dpkg-deb -c "$deb" | awk '{ print $1, $6 }' | sed 's|^\(.\)[^ ]* \./|\1 /|' | sort > "$work/files"
sort > "$work/expected" <<'EOF'
d /usr/
d /usr/lib/
d /usr/lib/cgi-bin/
- /usr/lib/cgi-bin/zeladmin
d /usr/sbin/
- /usr/sbin/zeldispatch
- /usr/sbin/zelpasswd
d /usr/share/
d /usr/share/doc/
d /usr/share/doc/zel/
- /usr/share/doc/zel/README.md
- /usr/share/doc/zel/changelog.gz
- /usr/share/doc/zel/copyright
d /usr/share/doc/zel/examples/
- /usr/share/doc/zel/examples/apache.conf
- /usr/share/doc/zel/examples/lighttpd.conf
- /usr/share/doc/zel/examples/nginx.conf
d /usr/share/lintian/
d /usr/share/lintian/overrides/
- /usr/share/lintian/overrides/zel
d /usr/share/man/
d /usr/share/man/man8/
- /usr/share/man/man8/zeladmin.8.gz
- /usr/share/man/man8/zeldispatch.8.gz
- /usr/share/man/man8/zelpasswd.8.gz
EOF
check "file list" diff -u "$work/expected" "$work/files"
check "programs are executable" test "$(dpkg-deb -c "$deb" | grep -c '^-rwxr-xr-x root/root .*/\(zeladmin\|zeldispatch\|zelpasswd\)$')" -eq 3
check "Depends names the C library" sh -c "dpkg-deb -f '$deb' Depends | grep -q '^libc6 '"

# Errors and warnings fail; lintian's informational notes are listed.
if command -v lintian >/dev/null 2>&1; then
  status=0
  lintian --fail-on error,warning -I "$deb" > "$work/lintian" 2>&1 || status=$?
  grep -v 'running with root privileges' "$work/lintian" >&2 || true
  check "lintian" test "$status" -eq 0
else
  echo "package: lintian is missing (tools/install-deps.sh installs it when run as root)" >&2
  failed=$((failed + 1))
fi

# An installation below the unpacked package's root.
root=$work/root
dpkg -x "$deb" "$root"
sb=$work/sandbox
mkdir -p "$sb/etc/opt/vantrel" "$sb/etc/zel" "$sb/spool/inbox" "$sb/tmp"
touch "$sb/spool/log"
cat > "$sb/etc/opt/vantrel/vantrel.conf" <<EOF
spool-directory = $sb/spool
zel-config-directory = $sb/etc/zel
etc-fax-directory = $sb/etc/zel
EOF
printf '# accounts\n[fax]\ndid = 100\ndelivery-program = echo $did $pages >%s/delivered\n' "$sb" \
  > "$sb/etc/zel/users"

printf 'secret\n' | ZEL_ROOT=$sb "$root/usr/sbin/zelpasswd" -a admin -p admin
digest=$(printf secret | openssl sha1 -binary | base64)
check "zelpasswd adds the administrator" \
  grep -qx "password = $digest" "$sb/etc/zel/users"
check "zelpasswd prints the digest" \
  test "$(printf 'secret\n' | "$root/usr/sbin/zelpasswd")" = "$digest"

page1() {   # page1 PASSWORD: /Page1 as the administrator with PASSWORD
  ZEL_ROOT=$sb SERVER_SOFTWARE=Mathopd/1.3pl7 REQUEST_METHOD=GET PATH_INFO=/Page1 \
    SCRIPT_NAME=/cgi-bin/zeladmin HTTP_AUTHORIZATION="Basic $(printf "admin:$1" | base64)" \
    "$root/usr/lib/cgi-bin/zeladmin"
}
page1 secret > "$work/page1"
check "zeladmin signs the administrator in" \
  sh -c "head -n 1 '$work/page1' | grep -q '^HTTP/1.0 200 OK' && grep -q 'User Accounts' '$work/page1'"
page1 wrong > "$work/refused"
check "zeladmin refuses a wrong password" grep -q 'Access Error' "$work/refused"

# A fax as the receive side leaves it: a TIFF header and one directory
# entry, the DID "100" (tag 34204, ASCII, 4 bytes in the entry).
printf 'II\052\000\010\000\000\000\001\000\234\205\002\000\004\000\000\000100\000\000\000\000\000' \
  > "$sb/spool/fa00042"
ZEL_ROOT=$sb "$root/usr/sbin/zeldispatch" "$sb/spool/fa00042" 2> "$work/dispatch" || true
check "zeldispatch delivers the fax" test "$(cat "$sb/delivered" 2>/dev/null)" = "100 0"
check "zeldispatch removes the delivered fax" test ! -e "$sb/spool/fa00042"

echo "package: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
