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
# A copy of its own, so that its Data folder is the demo's.
mkdir -p "$demo/conduit"
cp "$out/libQuillorP2_ODBC.so" "$demo/conduit/"
"$hotsync" conduit add QP28 "$demo/conduit/libQuillorP2_ODBC.so"

echo "== Demo handheld"
"$out/make_demo_handheld" "$demo/handheld" --user "Demo User"
mkdir -p "$demo/conduit/Data/PrinterData"
printf '%s\r\n' "QUILLOR+ RECEIPT" "Item:   {FIELD1}" "Qty:    {FIELD2}" "Scanned {DATE} {TIME}" \
  >"$demo/conduit/Data/PrinterData/QuillorP_Format.txt"

echo "== HotSync"
status=0
"$hotsync" sync "$demo/handheld" || status=$?

user_folder=$("$hotsync" user ls | awk -F'\t' '$1 == "Demo User" { print $2 }')
cat <<INFO

Where to look:
  the HotSync log:          "${user_folder}HotSync.log"
  the handheld's databases: $out/handheld ls $demo/handheld
  the print format sent:    $out/handheld dump $demo/handheld QP28-QuillorPlus_Formats
  the conduit's PC folder:  $demo/conduit/Data
INFO
exit $status
