#!/usr/bin/env bash
# Screenshots of lumbra-demo for the documentation. Runs the demo under a
# virtual X server; the demo presses Download Firmware itself, downloads to and
# verifies its emulated controller at the real pace (about five minutes), and
# saves into docs/screenshots/:
#   lumbra-demo-downloading.png  the dialog halfway through the download
#   lumbra-demo.png              the dialog at the end, under the final message box
#   lumbra-demo-box.png          that message box
# Usage: scripts/screenshot.sh [build-dir]   (default: build-qt; needs xvfb-run)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-qt}
demo=$build/demo/lumbra-demo
out=$root/docs/screenshots

if [[ ! -x $demo ]]; then
  echo "screenshot.sh: $demo not found; build the lumbra-demo target first" >&2
  exit 1
fi
command -v xvfb-run >/dev/null || { echo "screenshot.sh: xvfb-run is missing (apt-get install xvfb xauth)" >&2; exit 1; }
mkdir -p "$out"

# A fresh server each time (-a), at 96 dpi, the resolution the dialog's
# 8 pt font and its dialog units were laid out for.
LUMBRA_DEMO_SCREENSHOTS=$out QT_QPA_PLATFORM=xcb \
  timeout 900 xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" "$demo"

for shot in lumbra-demo-downloading.png lumbra-demo.png lumbra-demo-box.png; do
  [[ -s $out/$shot ]] || { echo "screenshot.sh: $shot was not written" >&2; exit 1; }
  echo "$out/$shot"
done
