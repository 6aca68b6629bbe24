#!/usr/bin/env bash
# Remakes the seed databases of the upgrade_file target from the legacy
# samples and a few version states. Small pages keep the inputs small, so the
# fuzzer spends its time on the upgrade, not on copying bytes.
set -euo pipefail
cd "$(dirname "$0")"
out=upgrade_file
rm -f "$out"/*.db
make_db() { # name, SQL on stdin
    { echo "PRAGMA page_size=512;"; cat; echo "VACUUM;"; } | sqlite3 "$out/$1.db"
}
for f in profile data qc syslog; do
    make_db "legacy_$f" < "../../samples/legacy/$f.sql"
done
echo "create table version(version integer);" | make_db version_empty
echo "create table version(version integer); insert into version values(1);" | make_db version_1
echo "create table version(version integer); insert into version values(3); insert into version values(5);" | make_db version_3_5
echo "create table version(version text); insert into version values('x');" | make_db version_text
echo "create view version as select 9 as version;" | make_db version_view
printf 'not a database\n' > "$out/not_sqlite.db"
