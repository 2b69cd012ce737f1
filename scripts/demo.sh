#!/usr/bin/env bash
# The main job: sets everything up, builds, and runs a HotSync of the demo handheld.
# Everything it writes stays in ./demo (git-ignored); running it again starts afresh.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh normal >/dev/null
echo "Build ready in build/out. The demo HotSync arrives with the stand-in HotSync installation."
