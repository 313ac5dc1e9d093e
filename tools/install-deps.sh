#!/bin/sh
# Makes a bare Debian machine ready to build and test the project.
# Installs what is missing with apt-get when run as root; otherwise names the
# packages to install and fails.  "bench" adds what the benchmarks need,
# "lint" is kept for
# the make target, as check installs clang-tidy too.
set -eu

need=""
have_cmd() { command -v "$1" >/dev/null 2>&1; }
want() { need="$need $1"; }

have_cmd g++ || want g++
have_cmd make || want make
have_cmd cmake || want cmake
have_cmd ninja || want ninja-build
[ -f /usr/include/gtest/gtest.h ] || want libgtest-dev
[ -f /usr/include/gmock/gmock.h ] || want libgmock-dev
# The tests check the digest and base64 code against these.
have_cmd openssl || want openssl
have_cmd sha1sum || want coreutils
# The TIFF reader is checked against libtiff's own tools.
have_cmd tiffdump || want libtiff-tools
# and a test helper writes real fax images with libtiff itself.
[ -f /usr/include/tiffio.h ] || [ -f /usr/include/x86_64-linux-gnu/tiffio.h ] || want libtiff-dev
# The fuzz targets: clang with libFuzzer and the sanitizers' runtimes.
have_cmd clang++ || want clang
ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-*.a >/dev/null 2>&1 || want libclang-rt-14-dev
# Multipart bodies are checked as curl sends them.
have_cmd curl || want curl
# The demo and the browser tests: a real web server, Chromium driven by
# playwright-core from the npm registry.
have_cmd lighttpd || [ -x /usr/sbin/lighttpd ] || want lighttpd
# The shipped web server examples are tested under the servers they are
# for (tests/webservers/).
have_cmd apache2 || [ -x /usr/sbin/apache2 ] || want apache2
have_cmd nginx || [ -x /usr/sbin/nginx ] || want nginx
have_cmd fcgiwrap || [ -x /usr/sbin/fcgiwrap ] || want fcgiwrap
# The built-in pictures are decoded by ImageMagick's identify.
have_cmd identify || want imagemagick
have_cmd chromium || want chromium
have_cmd node || want nodejs
have_cmd npm || want npm
# The Debian package: its build (dpkg-shlibdeps, dpkg-buildflags) and check.
have_cmd dpkg-shlibdeps || want dpkg-dev
have_cmd lintian || want lintian
# make check keeps the sources' layout (clang-format) and lint (clang-tidy).
have_cmd clang-format || want clang-format
have_cmd run-clang-tidy || want clang-tidy
if [ "${1:-}" = bench ]; then
  have_cmd wrk || want wrk
  have_cmd hyperfine || want hyperfine
  [ -x /usr/bin/time ] || want time
fi

[ -z "$need" ] && exit 0

if [ "$(id -u)" -eq 0 ] && have_cmd apt-get; then
  echo "install-deps: installing$need"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  # shellcheck disable=SC2086
  apt-get install -y -q --no-install-recommends $need
else
  echo "install-deps: missing packages:$need" >&2
  echo "install-deps: run as root, or: sudo apt-get install$need" >&2
  exit 1
fi
