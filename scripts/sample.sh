#!/usr/bin/env bash
# The main job: builds the upgrade program (dbupdate, its library and its
# catalogue; scripts/test.sh builds the rest), lays a legacy data directory
# (all four files at old schema versions, from samples/legacy/*.sql),
# upgrades it with dbupdate and shows the log and the schema versions before
# and after.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --target dbupdate

dir=build/sample-data
rm -rf "$dir"
mkdir -p "$dir"
for f in profile data qc syslog; do
    sqlite3 "$dir/$f.db" < "samples/legacy/$f.sql"
done

versions() {
    for f in profile data qc syslog; do
        v=$(sqlite3 "$dir/$f.db" "select max(version) from version" 2>/dev/null || true)
        printf '  %-11s version %s, %s tables\n' "$f.db" "${v:-0 (no version table)}" \
            "$(sqlite3 "$dir/$f.db" "select count(*) from sqlite_master where type = 'table'")"
    done
}

echo "== Before"
versions
status=0
(cd "$dir" && ../dbupdate/dbupdate update.log) || status=$?
echo "== Log ($dir/update.log)"
cat "$dir/update.log"
echo "== After (dbupdate exit code $status)"
versions
exit $status
