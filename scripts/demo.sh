#!/usr/bin/env bash
# The main job: sets everything up, builds, and runs a HotSync of the demo handheld.
# Everything it writes stays in ./demo (git-ignored); running it again starts afresh.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/install-deps.sh
scripts/build.sh normal >/dev/null

out=$root/build/out
demo=$root/demo
rm -rf "$demo"
mkdir -p "$demo"
# The stand-in registry of this demo only: the user's own stays untouched.
export REGISTRY_FILE=$demo/registry

echo "== HotSync installation"
"$out/hotsync" setup "$demo/hotsync"
hotsync=$demo/hotsync/hotsync
"$hotsync" user add "Demo User"

echo "== Conduit QuillorP2_ODBC, registered under QP28"
# A copy of its own, so that its Data folder and settings file are the demo's.
conduit=$demo/conduit
mkdir -p "$conduit"
cp "$out/libQuillorP2_ODBC.so" "$conduit/"
"$hotsync" conduit add QP28 "$conduit/libQuillorP2_ODBC.so"

echo "== Demo handheld"
"$out/make_demo_handheld" "$demo/handheld" --user "Demo User"
"$out/make_demo_handheld" --show "$demo/handheld"
mkdir -p "$conduit/Data/PrinterData"
printf '%s\r\n' "QUILLOR+ RECEIPT" "Item:   {FIELD1}" "Qty:    {FIELD2}" "Scanned {DATE} {TIME}" \
  >"$conduit/Data/PrinterData/QuillorP_Format.txt"

echo "== ODBC data source QuillorDemo: SQLite database demo/quillor.db"
# A driver and data-source list of the demo's own, so the system's stay untouched.
driver=$(ls /usr/lib/*/odbc/libsqlite3odbc.so /usr/lib/odbc/libsqlite3odbc.so 2>/dev/null | head -n1 || true)
if [ -z "$driver" ]; then
  echo "The SQLite ODBC driver (package libsqliteodbc) is missing." >&2
  exit 1
fi
cat >"$demo/odbcinst.ini" <<INI
[SQLite3]
Description=SQLite3 ODBC Driver
Driver=$driver
INI
cat >"$demo/odbc.ini" <<INI
[QuillorDemo]
Description=Quillor+ demo deliveries
Driver=SQLite3
Database=$demo/quillor.db
INI
export ODBCSYSINI=$demo ODBCINI=$demo/odbc.ini
sqlite3 "$demo/quillor.db" \
  'CREATE TABLE deliveries (order_no TEXT, customer TEXT, items INTEGER, delivered TEXT,
                            signature BLOB);'
# The conduit's settings file beside it: the "Deliveries" session (slot 2) goes to the table.
# The conduit adds a section for every other session on its first HotSync, disabled.
printf '%s\r\n' "[Session02]" "DSN=QuillorDemo" "Username=" "Password=" "Tablename=deliveries" \
  "Enabled=True" "Field1=order_no" "Field2=customer" "Field3=items" "Field4=delivered" \
  "Field5=signature" >"$conduit/QuillorP2_ODBC.ini"

echo "== Upload files for the \"Stock count\" session"
topda="$conduit/Data/Demo User/ToPDA"
mkdir -p "$topda"
# Next count's items (one record per line, fields separated by TAB), field hints, and the
# lookup list of field 4 (Location).
printf '%s\t%s\t%s\t%s\r\n' \
  "4006381333931" "Stabilo pen black" "" "A1-03" \
  "5012345678900" "A4 paper 80g" "" "A1-04" \
  "4902505139616" "Gel pen blue" "" "A1-05" >"$topda/S01_data.txt"
printf '%s\t%s\r\n' 1 "Scan the shelf label first" 3 "Count single units" 4 "Pick the aisle" \
  >"$topda/S01_Hints.txt"
printf '%s\r\n' A1-03 A1-04 A1-05 B2-01 B2-09 C4-07 D1-01 >"$topda/S01F04.txt"
ls -l "$topda"

echo "== HotSync"
status=0
"$hotsync" sync "$demo/handheld" || status=$?

echo
echo "== What arrived on the PC"
from="$conduit/Data/Demo User/FromPDA"
for f in "$from"/S*; do
  [ -f "$f" ] || continue
  echo "-- ${f#"$demo"/} (first lines)"
  head -n 12 "$f" | tr -d '\r'
done
echo "-- signatures"
ls -l "$from/Signatures"
echo "-- ODBC table deliveries in demo/quillor.db"
sqlite3 -header -column "$demo/quillor.db" \
  'SELECT order_no, customer, items, delivered, length(signature) AS signature_bytes,
          hex(substr(signature, 1, 2)) AS starts_with FROM deliveries;'
echo "-- upload files moved aside"
ls "$topda"
echo "-- the conduit's settings file after the HotSync: its sections, then the first lines"
grep -o '^\[.*\]' "$conduit/QuillorP2_ODBC.ini" | tr '\n' ' '
echo
head -n 8 "$conduit/QuillorP2_ODBC.ini" | tr -d '\r'

echo
echo "== The handheld after the HotSync"
"$out/make_demo_handheld" --show "$demo/handheld"

user_folder=$("$hotsync" user ls | awk -F'\t' '$1 == "Demo User" { print $2 }')
# Paths in single quotes, so that each line can be pasted whatever the checkout's path holds.
q() { local s=${1//\'/\'\\\'\'}; printf "'%s'" "$s"; }
cat <<INFO

Where to look:
  the HotSync log:          $(q "${user_folder}HotSync.log")
  the handheld's databases: $(q "$out/handheld") ls $(q "$demo/handheld")
  the print format sent:    $(q "$out/handheld") dump $(q "$demo/handheld") QP28-QuillorPlus_Formats
  the conduit's PC folder:  $(q "$conduit/Data")
  the ODBC table:           sqlite3 $(q "$demo/quillor.db") 'SELECT * FROM deliveries'

The same HotSync again, by hand (the demo's registry and ODBC files):
  REGISTRY_FILE=$(q "$REGISTRY_FILE") ODBCSYSINI=$(q "$ODBCSYSINI") ODBCINI=$(q "$ODBCINI") $(q "$hotsync") sync $(q "$demo/handheld")
Then "Stock count" downloads the three items its upload put on the handheld. "Price check"
shows an appended file with the handheld's records kept, so each HotSync appends the same three
rows to S04_data.txt again (a session that appends would normally also clear the handheld, as
"Stock count" does). "Deliveries" and "Site visits" replace their files.
INFO
exit $status
