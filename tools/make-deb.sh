#!/bin/sh
# Builds the Debian package of the install layout (tools/deb/): zeladmin in
# /usr/lib/cgi-bin, zeldispatch and zelpasswd in /usr/sbin, the manual
# pages, the README and the example web server configurations below
# /usr/share.  Only the programs are built, in a build directory of its own.
#
#   sh tools/make-deb.sh [BUILD_DIR]     (default build-deb)
#
# The package is BUILD_DIR/zel_<release>_<arch>.deb; its path is the last
# line printed.
set -eu

top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build-deb}
jobs=${JOBS:-$(nproc 2>/dev/null || echo 2)}

# The hardening flags of Debian's own packages, as dpkg-buildflags gives
# them.  Fortified headers ask that every result be used; the few that the
# rewrites drop on a path that has failed already are dropped on purpose.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
CXXFLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS) -Wno-unused-result"
LDFLAGS=$(dpkg-buildflags --get LDFLAGS)
export CXXFLAGS LDFLAGS
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_INSTALL_PREFIX=/usr \
    -DCMAKE_INSTALL_BINDIR=sbin -DZEL_CGI_DIR=lib/cgi-bin >/dev/null
cmake --build "$build" -j "$jobs" --target zeladmin zeldispatch zelpasswd
rm -f "$build"/zel_*.deb
(cd "$build" && cpack -G DEB) >&2
ls "$build"/zel_*.deb
