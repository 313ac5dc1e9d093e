#!/bin/sh
# Start-up cost of zeladmin (configuration load, directory export, log open,
# exit) against a C++ program that only exits, with configuration files of
# 200 and 20,000 keys.  Files written back by the configuration page are
# sorted by key, which makes the key tree one long spine; the 20,000-key file
# is measured both sorted and shuffled.  Every command runs through env(1),
# the baseline too, so the rows differ only by the programs themselves.
# Results: bench/results/startup.md.
set -eu
cd "$(dirname "$0")/.."
bin=build/bin/zeladmin
base=build/bench/exit_only
[ -x "$bin" ] && [ -x "$base" ] || { echo "startup.sh: run make first" >&2; exit 1; }
command -v hyperfine >/dev/null || { echo "startup.sh: hyperfine is missing (make bench installs it)" >&2; exit 1; }

work=$(mktemp -d /tmp/zel-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT INT TERM

# sandbox NAME KEYS ORDER: an installation tree with a configuration of KEYS
# keys (the five real ones among them) in ORDER (sorted or shuffled).
sandbox() {
  root=$work/$1
  mkdir -p "$root/etc/opt/vantrel" "$root/spool" "$root/etc"
  : > "$root/spool/log"
  printf '[admin]\nprivileges = admin\n' > "$root/etc/users"
  {
    echo "spool-directory = $root/spool"
    echo "server-directory = $root/opt"
    echo "zel-config-directory = $root/etc"
    echo "company-name = \"Acme Fax Services\""
    echo "date-format = %x %X"
    i=5
    while [ $i -lt "$2" ]; do
      printf 'setting-%06d = value number %d\n' $i $i
      i=$((i + 1))
    done
  } > "$root/keys"
  if [ "$3" = sorted ]; then
    sort "$root/keys"
  else
    awk 'BEGIN { srand(1) } { print rand() "\t" $0 }' "$root/keys" | sort | cut -f 2-
  fi > "$root/etc/opt/vantrel/vantrel.conf"
}

sandbox k200 200 sorted
sandbox k20000s 20000 sorted
sandbox k20000r 20000 shuffled

mkdir -p bench/results
hyperfine -N --warmup 20 --min-runs 200 \
  --export-markdown bench/results/startup.md \
  -n "exit only (baseline)" "env ZEL_ROOT=$work/k200 $base" \
  -n "zeladmin, 200 keys" "env ZEL_ROOT=$work/k200 $bin" \
  -n "zeladmin, 20000 keys sorted" "env ZEL_ROOT=$work/k20000s $bin" \
  -n "zeladmin, 20000 keys shuffled" "env ZEL_ROOT=$work/k20000r $bin"
cat bench/results/startup.md
