# The benchmarks' shared start, sourced by each script after "set -eu":
#   bench_start NAME BUILD_DIR [PROGRAM...]   (BUILD_DIR may be "")
# sets build (absolute; default build), bin (its zeladmin) and base (the
# minimal CGI baseline), checks that hyperfine and each PROGRAM (paths
# below the build dir, default bin/zeladmin) are there, and makes the
# scratch directory $work, removed on exit.
bench_start() {
  name=$1
  build=${2:-build}
  shift 2
  case $build in /*) ;; *) build=$PWD/$build ;; esac
  bin=$build/bin/zeladmin
  base=$build/bench/write_bytes
  [ $# -gt 0 ] || set -- bin/zeladmin
  for f; do
    [ -x "$build/$f" ] || { echo "$name: $build/$f is missing (run make first)" >&2; exit 1; }
  done
  command -v hyperfine >/dev/null || { echo "$name: hyperfine is missing (make bench installs it)" >&2; exit 1; }
  work=$(mktemp -d /tmp/zel-bench.XXXXXX)
  trap 'rm -rf "$work"' EXIT INT TERM
}
