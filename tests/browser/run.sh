#!/bin/sh
# Browser tests: the demo installation behind its web server, driven by
# Chromium through playwright-core.
#
#   sh tests/browser/run.sh [BUILD_DIR]     (default build)
#
# The demo's tree is kept under BUILD_DIR/browser/ for a look after a
# failure, with each test's last page in BUILD_DIR/browser/screenshots/.
# DEMO (default tools/demo.sh) and CHROMIUM (default /usr/bin/chromium)
# may name others.
set -u

here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
build=${1:-build}
demo=${DEMO:-$top/tools/demo.sh}
CHROMIUM=${CHROMIUM:-/usr/bin/chromium}
export CHROMIUM

fail() { echo "browser tests: $*" >&2; exit 1; }

[ -d "$build" ] || { [ -d "$top/$build" ] && build=$top/$build; }
[ -d "$build" ] || fail "no build directory $build"
build=$(cd "$build" && pwd)
[ -x "$build/bin/zeladmin" ] || fail "$build/bin/zeladmin is not built"
[ -x "$CHROMIUM" ] || fail "$CHROMIUM is missing (tools/install-deps.sh installs it when run as root)"
command -v node >/dev/null 2>&1 || fail "node is missing (tools/install-deps.sh installs it when run as root)"
[ -f "$demo" ] || fail "no demo script $demo"

if [ ! -d "$here/node_modules/playwright-core" ]; then
  command -v npm >/dev/null 2>&1 || fail "npm is missing (tools/install-deps.sh installs it when run as root)"
  (cd "$here" && npm ci --no-audit --no-fund) || fail "npm ci failed"
fi

out=$build/browser
mkdir -p "$out"
# Only the latest run's tree is kept.
rm -rf "$out"/demo.* "$out/screenshots"
root=$(mktemp -d "$out/demo.XXXXXX") || fail "cannot make a demo directory"
rmdir "$root"
log=$root.log

# A port the kernel has just handed out and released again.
port=$(node -e '
  const server = require("net").createServer();
  server.listen(0, "127.0.0.1", () => { console.log(server.address().port); server.close(); });
') || fail "cannot find a free port"

test_pid=
demo_pid=
# The tests and the demo run in the background so that a signal to this
# script stops them at once, not after the tests have run out.
stop() {
  for pid in $test_pid $demo_pid; do
    kill -TERM "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  test_pid=
  demo_pid=
}
trap 'stop' EXIT
trap 'stop; exit 130' INT
trap 'stop; exit 143' TERM

sh "$demo" --root "$root" --port "$port" --build "$build" >"$log" 2>&1 &
demo_pid=$!

# Up to 30 s for the demo to answer.
base=
tries=0
while [ -z "$base" ]; do
  base=$(sed -n 's/^ready: \(http[^ ]*\).*/\1/p' "$log" | head -n 1)
  [ -n "$base" ] && break
  if ! kill -0 "$demo_pid" 2>/dev/null; then
    wait "$demo_pid" 2>/dev/null
    demo_pid=
    cat "$log" >&2
    fail "the demo ended before it was ready"
  fi
  tries=$((tries + 1))
  if [ "$tries" -gt 300 ]; then
    cat "$log" >&2
    fail "the demo was not ready within 30 s"
  fi
  sleep 0.1
done
echo "browser tests: demo at $base, tree $root"

ZEL_BASE_URL=$base ZEL_DEMO_ROOT=$root ZEL_SCREENSHOTS=$out/screenshots \
  node --test "$here"/*.test.mjs &
test_pid=$!
wait "$test_pid"
status=$?
test_pid=

stop
[ "$status" -eq 0 ] || echo "browser tests: failed; demo log $log, screenshots in $out/screenshots" >&2
exit "$status"
