#!/bin/sh
# Runs the fuzz targets of a fuzz build (cmake -DZEL_FUZZ=ON) one after
# another, each on its seed corpus in tests/fuzz/<target>/corpus.
#
#   sh tests/fuzz/run.sh BUILD check [TARGET...]
#       the seed corpus and then 20000 generated inputs from a fixed seed,
#       so a run finds the same inputs every time (make check)
#   sh tests/fuzz/run.sh BUILD fuzz SECONDS [TARGET...]
#       SECONDS of search per target (make fuzz); inputs that reach new
#       code are kept in BUILD/fuzz-corpus/<target> for the next run
#
# A crash, a leak, a timeout or a failed check stops the run with a
# non-zero status; libFuzzer's report is printed and the input that did it
# is in BUILD/fuzz-artifacts/.  Each target's log is BUILD/fuzz-logs/<target>.log.
set -eu

build=${1:?usage: run.sh BUILD check|fuzz [SECONDS] [TARGET...]}
mode=${2:?usage: run.sh BUILD check|fuzz [SECONDS] [TARGET...]}
shift 2
seconds=60
if [ "$mode" = fuzz ]; then
  seconds=${1:?usage: run.sh BUILD fuzz SECONDS [TARGET...]}
  shift
elif [ "$mode" != check ]; then
  echo "run.sh: mode is check or fuzz, not $mode" >&2
  exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
targets=${*:-keytree paramfile urlform multipart basicauth tiffpeek inittab logline}

# The configuration reader takes lines of up to 8191 bytes, a form field
# holds up to 10279, the log viewer shows 8192 bytes of a line: those
# targets' inputs must be able to be longer, and a search starts with long
# inputs at once rather than growing them slowly.
options() {
  case $1 in
    keytree|urlform|logline) long=-max_len=24000 ;;
    *) long=-max_len=8192 ;;
  esac
  case $mode.$1 in
    fuzz.keytree|fuzz.urlform|fuzz.logline) echo "$long -len_control=0" ;;
    # Every signed-in name lives as long as the process (a caller may keep
    # it), so a long search of the login check grows by some MB a second.
    fuzz.basicauth) echo "$long -rss_limit_mb=8192" ;;
    *) echo "$long" ;;
  esac
}

mkdir -p "$build/fuzz-artifacts" "$build/fuzz-logs"
for target in $targets; do
  program=$build/bin/fuzz_$target
  corpus=$here/$target/corpus
  [ -x "$program" ] || { echo "run.sh: no $program (build $build first)" >&2; exit 2; }
  [ -d "$corpus" ] || { echo "run.sh: no corpus $corpus" >&2; exit 2; }
  if [ "$mode" = check ]; then
    # A scratch corpus of this run only, so every run starts the same.
    scratch=$build/fuzz-check/$target
    rm -rf "$scratch"
    limits="-runs=20000 -seed=1"
  else
    scratch=$build/fuzz-corpus/$target
    limits="-max_total_time=$seconds"
  fi
  mkdir -p "$scratch"
  log=$build/fuzz-logs/$target.log
  # shellcheck disable=SC2086
  if "$program" $limits $(options "$target") -timeout=25 -print_final_stats=1 \
      -artifact_prefix="$build/fuzz-artifacts/$target-" "$scratch" "$corpus" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    coverage=$(grep -E '^#[0-9]+' "$log" | tail -n 1 | sed -E 's/.*(cov: [0-9]+ ft: [0-9]+).*/\1/')
    echo "fuzz $target: ${runs:-?} inputs, $coverage, no findings"
  else
    status=$?
    echo "fuzz $target: FAILED (status $status); the end of $log:" >&2
    tail -n 60 "$log" >&2
    exit 1
  fi
done
