#!/bin/sh
# From an engine event to the station page showing it, measured in headless
# Chromium: the browser test's four controllers at --pace 2 (about 700 events),
# each event's publication time against the moment the page applied it.
#   bench/page_latency.sh [BUILD_DIR]
set -e
build=${1:-build}
/usr/bin/python3 "$(dirname "$0")/../tests/page/browser_test.py" --cli "$build/cli/lumbra-cli" \
  --screenshot "${TMPDIR:-/tmp}/station-page.png" | grep latency
