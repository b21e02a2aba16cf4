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
export VELDRIN_CAMERAS="$CAMERA=scene:table"
# Choose the virtual camera beforehand so the first start asks nothing, and store a calibration
# on the sheet's true corners (the scene knows them) beside the default one.
printf '[%s]\r\nCamera=%s\r\nCalibIndex=1\r\n' "$NAME" "$CAMERA" > "$DATA/CamDrv.ini"
# shellcheck disable=SC2046
"$BIN/veldrin-calib" save "$DATA" "Demo sheet" $("$BIN/veldrin-probe" scene --size 640x480) >/dev/null

run_host() {
  "$BIN/veldrin-host" --name "$NAME" --folder "$DATA" --media 297x210 "$@" -- "$BIN/veldrin"
}

if [ -n "${DISPLAY:-}" ] && [ -z "${VELDRIN_DEMO_HEADLESS:-}" ]; then
  echo "demo: data folder $DATA; close the window to end"
  run_host
else
  shots=$DATA
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
