#!/usr/bin/env bash
# Starts the host simulator on a fresh data folder and the tool through it, looking at the
# built-in table scene. With no display it runs under Xvfb, saves screenshots and ends.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BIN=${VELDRIN_BUILD_DIR:-$ROOT/build}/bin
NAME=veldrin-demo
DATA=$ROOT/demo-data
CAMERA="Table camera"

rm -rf "$DATA"
mkdir -p "$DATA"
# Choose the virtual camera beforehand so the first start asks nothing.
printf '[%s]\r\nCamera=%s\r\nCalibIndex=0\r\n' "$NAME" "$CAMERA" > "$DATA/CamDrv.ini"
export VELDRIN_CAMERAS="$CAMERA=scene:table"

run_host() {
  "$BIN/veldrin-host" --name "$NAME" --folder "$DATA" --media 1000x700 "$@" -- "$BIN/veldrin"
}

if [ -n "${DISPLAY:-}" ] && [ -z "${VELDRIN_DEMO_HEADLESS:-}" ]; then
  echo "demo: data folder $DATA; close the window to end"
  run_host
else
  shots=$ROOT/docs/screenshots
  mkdir -p "$shots"
  export VELDRIN_SCREENSHOT=$shots/main-window.png
  export VELDRIN_SCREENSHOT_AFTER_MS=${VELDRIN_SCREENSHOT_AFTER_MS:-5000}
  echo "demo: no display; running under Xvfb for a few seconds"
  xvfb-run -a -s "-screen 0 1600x1200x24" bash -c "$(declare -f run_host); BIN='$BIN' NAME='$NAME' DATA='$DATA' run_host"
  if [ -f "$DATA/host-latest.bmp" ]; then
    if command -v convert >/dev/null; then
      convert "$DATA/host-latest.bmp" -flip "$shots/published.png" 2>/dev/null || true
    fi
    cp "$DATA/host-latest.bmp" "$shots/published.bmp"
  fi
  echo "demo: main window   -> $VELDRIN_SCREENSHOT"
  echo "demo: last picture  -> $shots/published.bmp"
fi
