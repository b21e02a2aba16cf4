#!/usr/bin/env bash
# Starts the host simulator on a fresh data folder and the tool through it, looking at the
# built-in table scene. With no display it runs under Xvfb, saves screenshots and ends.
#   tools/demo.sh          the colour camera and a stored sheet calibration
#   tools/demo.sh depth    the simulated depth camera with a 50 mm and a 20 mm box on the table:
#                          the 3D View, the measured height and the height-true picture with
#                          the objects outlined
set -euo pipefail
MODE=${1:-colour}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BIN=${VELDRIN_BUILD_DIR:-$ROOT/build}/bin
NAME=veldrin-demo
DATA=$ROOT/demo-data
CAMERA="Table camera"

rm -rf "$DATA"
mkdir -p "$DATA"
if [ "$MODE" = depth ]; then
  CAMERA="Table RealSense"
  export VELDRIN_CAMERAS="$CAMERA=scene:table"
  printf '[%s]\r\nCamera=%s\r\n' "$NAME" "$CAMERA" > "$DATA/CamDrv.ini"
  # The table is measured empty first, as an operator does before "Save Plane": the 3D plane at
  # the default corners, and those corners as the 2D plane.
  echo '{"size": [640, 480]}' > "$DATA/empty-table.json"
  VELDRIN_SCENE="$DATA/empty-table.json" "$BIN/veldrin-probe" depth --frames 150 \
    --corners 160 120 480 120 480 360 160 360 --save-plane "$DATA/" >/dev/null
  "$BIN/veldrin-calib" plane2d "$DATA/" 160 120 480 120 480 360 160 360 >/dev/null
  # Then two boxes of different heights are put on it, each with a mark printed on its top; the
  # tool starts with the height-true picture on.
  cat > "$DATA/scene.json" <<'JSON'
{"size": [640, 480], "boxes": [
  {"size_mm": [80, 60, 50], "center_mm": [-35, 10], "rotation_deg": 15,
   "mark": {"diameter_mm": 20, "rgb": [230, 30, 30]}},
  {"size_mm": [60, 50, 20], "center_mm": [55, -15], "rotation_deg": -10,
   "mark": {"diameter_mm": 16, "rgb": [30, 180, 30]}}]}
JSON
  export VELDRIN_SCENE="$DATA/scene.json"
  export VELDRIN_DEMO_CHECK=heightTrue
else
  export VELDRIN_CAMERAS="$CAMERA=scene:table"
  # Choose the virtual camera beforehand so the first start asks nothing, and store a calibration
  # on the sheet's true corners (the scene knows them) beside the default one.
  printf '[%s]\r\nCamera=%s\r\nCalibIndex=1\r\n' "$NAME" "$CAMERA" > "$DATA/CamDrv.ini"
  # shellcheck disable=SC2046
  "$BIN/veldrin-calib" save "$DATA" "Demo sheet" $("$BIN/veldrin-probe" scene --size 640x480) >/dev/null
fi

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
  [ -f "$shots/main-window-3d-view.png" ] && echo "demo: 3D View       -> $shots/main-window-3d-view.png"
  echo "demo: last picture  -> $shots/published.bmp"
fi
