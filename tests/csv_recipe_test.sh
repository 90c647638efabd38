#!/usr/bin/env bash
# Runs the SQLite recipe of docs/csv-format.md, exactly as written there, on
# a standard-mode CSV that quillon writes, and checks the table it fills.
# Usage: csv_recipe_test.sh DOC QUILLON GENLOG
set -euo pipefail
doc=$1 quillon=$2 genlog=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir logs
"$genlog" --version 7 --records 2000 logs/2022_06_08_13.dat
"$quillon" logs e
export CSV="$work/logs/csv_files_e/2022_06_08_13.csv" DB="$work/logs.db"

recipe=$(awk '/^<!-- recipe/ { on = 1; next } /^<!-- end of recipe/ { on = 0 } on' "$doc" |
         sed '/^```/d')
[ -n "$recipe" ] || { echo "no recipe in $doc"; exit 1; }
bash -euo pipefail -c "$recipe"

fail() { echo "FAIL: $*"; exit 1; }
rows=$(grep -c '^ ' "$CSV")
count=$(sqlite3 "$DB" 'SELECT count(*) FROM events')
[ "$count" = "$rows" ] || fail "$count rows loaded, $rows event rows in the CSV"
first=$(grep -m1 '^ ' "$CSV")  # " MM/DD/YYYY HH:MM:SS.t,code,parameter,,"
IFS=, read -r stamp code param _ <<<"${first# }"
expected="${stamp:6:4}-${stamp:0:2}-${stamp:3:2}${stamp:10}|$code|$param"
got=$(sqlite3 "$DB" 'SELECT timestamp, code, parameter FROM events LIMIT 1')
[ "$got" = "$expected" ] || fail "first row: got '$got', expected '$expected'"
no_param=$(grep -c '^ [^,]*,181,,$' "$CSV" || true)
[ "$no_param" -gt 0 ] || fail "no row without a parameter to check"
nulls=$(sqlite3 "$DB" 'SELECT count(*) FROM events WHERE code = 181 AND parameter IS NULL')
[ "$nulls" = "$no_param" ] || fail "$nulls of $no_param rows without a parameter are NULL"
typed=$(sqlite3 "$DB" "SELECT count(*) FROM events WHERE typeof(code) = 'integer'")
[ "$typed" = "$rows" ] || fail "codes are not stored as integers"
echo "recipe loaded $rows rows"
