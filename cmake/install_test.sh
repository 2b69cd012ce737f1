#!/usr/bin/env bash
# cmake --install into an empty prefix whose path holds a blank, then a HotSync of the demo
# handheld run from that prefix alone: every program and library the HotSync loads comes from
# the prefix (or a HotSync folder made from it) or the system, none from the build folder.
# usage: install_test.sh CMAKE BUILD_DIR APPDIR WITH_VANTREL(0|1)   (APPDIR as installed: lib/quillor)
set -euo pipefail
cmake=$1 build=$2 appdir=$3 with_vantrel=$4
tmp=$(mktemp -d "${TMPDIR:-/tmp}/qp install XXXXXX")
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

prefix="$tmp/the prefix"
"$cmake" --install "$build" --prefix "$prefix" >"$tmp/install.log" || { cat "$tmp/install.log"; fail "cmake --install"; }

expected=(bin/handheld bin/hotsync bin/make_demo_handheld include/quillor/quillor_hook.h)
for f in hotsync libCmds21.so libCondMgr.so libInstAide.so libPalmCmn.so libQuillorP2_ODBC.so \
    libhslog20.so libsync20.so; do
  expected+=("$appdir/$f")
done
[ "$with_vantrel" = 1 ] && expected+=(bin/Vantrel "$appdir/Vantrel" "$appdir/Vantrel.ini")
want=$(printf '%s\n' "${expected[@]}" | LC_ALL=C sort)
got=$(cd "$prefix" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort)
[ "$got" = "$want" ] || fail "installed files differ:"$'\n'"$(diff <(echo "$want") <(echo "$got"))"

export REGISTRY_FILE=$tmp/registry XDG_RUNTIME_DIR=$tmp/run
mkdir -m 700 "$XDG_RUNTIME_DIR"
unset SYNC_FAULTS QP_FILE_FAULTS
# In a sanitizer build: FLTK, which the conduit links for its dialog, leaves its static data
# behind when the host unloads the library, which the leak checker reports at random.
export ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0"
"$prefix/bin/hotsync" setup "$tmp/hot sync" >/dev/null
hotsync="$tmp/hot sync/hotsync"
"$hotsync" user add "Demo User" >/dev/null
# The conduit keeps its Data folder beside its library: a copy in a folder of the user's own.
conduit="$tmp/my conduit"
mkdir "$conduit"
cp "$prefix/$appdir/libQuillorP2_ODBC.so" "$conduit/"
"$hotsync" conduit add QP28 "$conduit/libQuillorP2_ODBC.so" >/dev/null
"$prefix/bin/make_demo_handheld" "$tmp/hand held" --user "Demo User" >/dev/null
if [ "$with_vantrel" = 1 ]; then
  "$prefix/bin/Vantrel" --help >/dev/null || fail "Vantrel --help through bin/Vantrel"
fi

status=0
LD_DEBUG=files LD_DEBUG_OUTPUT=$tmp/ld "$hotsync" sync "$tmp/hand held" >"$tmp/sync.log" 2>&1 ||
  status=$?
[ "$status" = 0 ] || { cat "$tmp/sync.log"; fail "hotsync sync exited $status"; }
from="$conduit/Data/Demo User/FromPDA"
for line in "QuillorPlus 2.8 ODBC (driver $conduit/libQuillorP2_ODBC.so, ver " \
    "Session01(Stock count): Downloaded 5/5 records to $from/S01_data.txt" \
    "Session02(Deliveries): Downloaded 4/4 records to $from/S02_data.xml" \
    "Session04(Price check): Downloaded 3/3 records to $from/S04_data.txt" \
    "Session06(Site visits): Downloaded 2/2 records to $from/S06_data.htm" "HotSync completed"; do
  grep -qF -- "$line" "$tmp/sync.log" || { cat "$tmp/sync.log"; fail "no line: $line"; }
done
# The Stock count download: its header and five rows of five tab-separated fields.
rows=$(tr -d '\r' <"$from/S01_data.txt" | awk -F'\t' 'NF == 5 { n++ } END { print n + 0 }')
[ "$rows" = 6 ] || fail "S01_data.txt has $rows rows of five fields, expected 6"
[ "$(ls "$from/Signatures" | wc -l)" = 3 ] || fail "expected 3 signature files"

# What the dynamic loader opened: the conduit, the HotSync libraries, nothing of the build.
loaded=$(cat "$tmp"/ld.* | sed -n 's/.*calling init: //p' | LC_ALL=C sort -u)
for lib in "$conduit/libQuillorP2_ODBC.so" "$tmp/hot sync/libsync20.so" "$tmp/hot sync/libhslog20.so"; do
  grep -qxF -- "$lib" <<<"$loaded" || fail "the HotSync did not load $lib:"$'\n'"$loaded"
done
if grep -F -- "$(cd "$build" && pwd -P)" <<<"$loaded"; then fail "loaded from the build folder"; fi
echo "installed into $prefix and ran a HotSync from it"
