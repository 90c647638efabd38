#!/usr/bin/env bash
# Runs the README's example of the events table, exactly as written there,
# on a generated archive of compressed logs, and checks the database it
# fills against the table.
# Usage: readme_example_test.sh README QUILLON GENLOG
set -euo pipefail
readme=$1 quillon=$2 genlog=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
for signal in north/elm_st south/AB_17; do
  mkdir -p "archive/$signal"
  for hour in 06 07; do
    "$genlog" --version 7 --records 500 --types 25,25,1,7 --seed "$hour" --gzip \
      "archive/$signal/2022_06_08_$hour.dat.gz"
  done
done
mkdir bin
ln -s "$quillon" bin/quillon
export PATH="$work/bin:$PATH"

example=$(awk '/^<!-- example: events/ { on = 1; next } /^<!-- end of example/ { on = 0 } on' "$readme" |
          sed '/^```/d')
[ -n "$example" ] || { echo "no example in $readme"; exit 1; }
out=$(bash -euo pipefail -c "$example")

fail() { echo "FAIL: $*"; exit 1; }
rows=$(($(gzip -dc events.csv.gz | wc -l) - 1))
[ "$rows" -gt 1000 ] || fail "only $rows rows in the table"
count=$(sqlite3 signals.db 'SELECT count(*) FROM events')
[ "$count" = "$rows" ] || fail "$count rows loaded"
[ "$(echo "$out" | wc -l)" -eq 2 ] || fail "the query printed: $out"
expected=$(gzip -dc events.csv.gz | awk -F, '$3 == 82 && $5 != 4 { n[$1 "|" substr($2, 1, 10)]++ } END { for (k in n) print k "|" n[k] }' | sort)
[ "$(echo "$out" | sort)" = "$expected" ] || fail "got '$out', expected '$expected'"
echo "example loaded $rows rows"
