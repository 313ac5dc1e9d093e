#!/bin/sh
# A multipart/form-data upload of a 50 MB binary file (with a text field
# before it, as a browser posts it) to /print, where zeladmin stores the
# file in the sandbox's tmp/, lists the form and removes the file again,
# against cat(1) copying the same file to /dev/null, and into a file in
# the same tmp/ (what storing the upload costs by itself).  The body is
# made once, by hand, in the temporary directory; every command runs
# through sh(1).
# Takes the build directory as $1 (default build).
# Results: bench/results/upload.md.
set -eu
cd "$(dirname "$0")/.."
. bench/common.sh
bench_start upload.sh "${1:-}"

root=$work/root
mkdir -p "$root/etc/opt/vantrel" "$root/spool" "$root/etc" "$root/tmp"
: > "$root/spool/log"
{
  echo "spool-directory = $root/spool"
  echo "server-directory = $root/opt"
  echo "zel-config-directory = $root/etc"
} > "$root/etc/opt/vantrel/vantrel.conf"
printf '[admin]\nfull-name = Administrator\nprivileges = admin\n' > "$root/etc/users"

# 50 MB of random bytes: CR, LF and dashes turn up as they do in real files.
head -c 52428800 /dev/urandom > "$work/upload.bin"
b=----------------------------bench0123456789
{
  printf -- '--%s\r\nContent-Disposition: form-data; name="user"\r\n\r\nadmin\r\n' "$b"
  printf -- '--%s\r\nContent-Disposition: form-data; name="doc"; filename="upload.bin"\r\n' "$b"
  printf 'Content-Type: application/octet-stream\r\n\r\n'
  cat "$work/upload.bin"
  printf -- '\r\n--%s--\r\n' "$b"
} > "$work/body"
length=$(wc -c < "$work/body")

post="sh -c \"exec env ZEL_ROOT=$root PATH_INFO=/print REQUEST_METHOD=POST CONTENT_TYPE='multipart/form-data; boundary=$b' CONTENT_LENGTH=$length $bin < $work/body > /dev/null\""

# The upload must arrive whole and go again (/debug keeps it for an
# administrator the program signed in).
eval "$(echo "$post" | sed "s|PATH_INFO=/print|PATH_INFO=/debug SERVER_SOFTWARE=Mathopd/1.3pl7 HTTP_AUTHORIZATION='Basic YWRtaW46'|")"
kept=$(ls "$root/tmp")
[ "$(echo "$kept" | wc -l)" = 1 ] && cmp -s "$root/tmp/$kept" "$work/upload.bin" ||
  { echo "upload.sh: the stored upload differs" >&2; exit 1; }
rm -f "$root/tmp/$kept"
eval "$post"
[ -z "$(ls "$root/tmp")" ] || { echo "upload.sh: /print left the upload behind" >&2; exit 1; }

mkdir -p bench/results
hyperfine -N --warmup 2 --min-runs 10 \
  --export-markdown bench/results/upload.md \
  -n "cat of the 50 MB file to /dev/null (baseline)" "sh -c \"exec cat $work/upload.bin > /dev/null\"" \
  -n "cat of the 50 MB file into the sandbox's tmp/ (storage baseline)" "sh -c \"exec cat $work/upload.bin > $root/tmp/copy\"" \
  -n "zeladmin /print, 50 MB multipart upload" "$post"
cat bench/results/upload.md
