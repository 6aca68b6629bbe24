#!/usr/bin/env bash
# Time of the profile.db upgrade from version 0 (a user table and curves of a
# large site) against a floor measured in the same run: dbupdate on the same
# file once it is upgraded, where only the every-start steps run.
# Usage: bench/profile_upgrade.sh [build dir] [users] [curves]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
users=${2:-20000}
curves=${3:-2000}
bin="$PWD/$build/dbupdate/dbupdate"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

sqlite3 "$work/template.db" < samples/legacy/profile.sql
sqlite3 "$work/template.db" <<SQL
begin;
insert into user (id, name, password, level, hide)
    with recursive n(i) as (select 3 union all select i + 1 from n where i < $users)
    select i, 'user' || i, 'pw', 0, 0 from n;
insert into curve (id, name, xunit, yunit, correlation, date, xFun, yFun, a, b)
    with recursive n(i) as (select 4 union all select i + 1 from n where i < $curves)
    select i, 'Lot ' || (i % 50), 'g/L', 's', 0.99, '2026-11-02', 1, 1, 0.1, -0.5 from n;
commit;
SQL

now() { date +%s%N; }
best() { sort -n | head -1; }

upgrade=()
floor=()
for round in 1 2 3 4 5; do
    rm -f "$work"/*.db-journal "$work"/{profile,data,qc,syslog}.db
    cp "$work/template.db" "$work/profile.db"
    t0=$(now); (cd "$work" && "$bin" 2>/dev/null); t1=$(now)
    (cd "$work" && "$bin" 2>/dev/null); t2=$(now)
    upgrade+=($(( (t1 - t0) / 1000 )))
    floor+=($(( (t2 - t1) / 1000 )))
done
u=$(printf '%s\n' "${upgrade[@]}" | best)
f=$(printf '%s\n' "${floor[@]}" | best)
echo "profile.db v0 -> v4, $users users, $curves curves (best of 5):"
echo "  upgrade   $((u / 1000)) ms"
echo "  floor     $((f / 1000)) ms (same file, already at version 4)"
awk -v u="$u" -v f="$f" 'BEGIN { printf "  ratio     %.1f x floor\n", u / f }'
