#!/usr/bin/env bash
# The cost of the run on every start: dbupdate over a data directory whose
# four files are already current, against the sqlite3 shell running the very
# statements that run prepared (captured by preloading bench/sqltrace.c).
# Prints the medians and the ratio. Usage: bench/noop_startup.sh [build dir] [runs]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
runs=${2:-21}
bin="$PWD/$build/dbupdate/dbupdate"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for f in profile data qc syslog; do
    sqlite3 "$work/$f.db" < "samples/legacy/$f.sql"
done
(cd "$work" && "$bin" 2>/dev/null) # brings every file to its current version

cc -O2 -shared -fPIC -o "$work/sqltrace.so" bench/sqltrace.c -ldl
(cd "$work" && SQLTRACE_OUT="$work/trace.sql" LD_PRELOAD="$work/sqltrace.so" "$bin" 2>/dev/null)
# Unbound parameters read as NULL in the shell, which does the same lookups.
{ echo ".bail off"; cat "$work/trace.sql"; } > "$work/shell.sql"
statements=$(grep -vc '^\.open' "$work/trace.sql")

now() { date +%s%N; }
median() { sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }

program=()
shell=()
for ((i = 0; i < runs; i++)); do
    t0=$(now); (cd "$work" && "$bin" 2>/dev/null); t1=$(now)
    (cd "$work" && sqlite3 < shell.sql >/dev/null 2>&1); t2=$(now)
    program+=($(( (t1 - t0) / 1000 )))
    shell+=($(( (t2 - t1) / 1000 )))
done
p=$(printf '%s\n' "${program[@]}" | median)
s=$(printf '%s\n' "${shell[@]}" | median)
echo "no-op start over current files: $statements statements, median of $runs runs"
echo "  dbupdate          ${p} us"
echo "  sqlite3 shell     ${s} us (floor)"
awk -v p="$p" -v s="$s" 'BEGIN { printf "  ratio             %.2f (goal: under 2)\n", p / s }'
