#!/bin/bash
# veldrin-demo: starts the host simulator on a fresh data folder and the tool through it, looking
# at the built-in table scene. With no display it runs under Xvfb, saves screenshots and ends.
#   veldrin-demo          the colour camera and a stored sheet calibration
#   veldrin-demo depth    the simulated depth camera with a 50 mm and a 20 mm box on the table:
#                         the 3D View, the measured height and the height-true picture with the
#                         objects outlined
#   veldrin-demo depth --bag
#                         the same scenes recorded into .bag files first, and the demo run on the
#                         recordings through librealsense2 (a build with the library)
# Installed beside the programs, the data folder is ~/.local/share/veldrin/demo/ (under
# $XDG_DATA_HOME when that is set); run from the source tree (tools/demo.sh, ./run demo) it is
# demo-data/ and the programs are those in build/bin/.
set -euo pipefail
HERE=$(dirname "$(readlink -f "$0")")
if [ -x "$HERE/veldrin-host" ] && [ -x "$HERE/veldrin" ]; then
  BIN=$HERE
  case "${XDG_DATA_HOME:-}" in
    /*) DATA_ROOT=$XDG_DATA_HOME/veldrin/demo ;;
    *) DATA_ROOT=$HOME/.local/share/veldrin/demo ;;
  esac
else
  ROOT=$(cd "$HERE/.." && pwd)
  BIN=${VELDRIN_BUILD_DIR:-$ROOT/build}/bin
  DATA_ROOT=$ROOT/demo-data
fi

usage() {
  cat <<TEXT
usage: veldrin-demo [colour | depth [--bag]]

Starts the host simulator (veldrin-host) on a fresh data folder and the tool
(veldrin) through it, looking at the built-in table scene instead of a camera.
  colour   the colour camera and a calibration stored on the sheet (default)
  depth    the simulated depth camera with two boxes on the table, height-true
           (--bag: recorded into .bag files first and played back through librealsense2)

Data folder: $DATA_ROOT
Instance name: veldrin-demo, or veldrin-demo-2, -3, ... while a demo already
runs under it (its data folder is then a sub-folder of that name).
Without a display it runs under Xvfb for a few seconds, saves screenshots into
the data folder and ends.
TEXT
}

case "${1:-}" in
  -h | --help) usage; exit 0 ;;
  --version)
    version=$("$BIN/veldrin-host" --version) || exit 1
    echo "veldrin-demo ${version#veldrin-host }"
    exit 0 ;;
  "" | colour | depth) ;;
  *) usage >&2; exit 2 ;;
esac
MODE=${1:-colour}
for program in veldrin veldrin-host veldrin-probe veldrin-calib; do
  if [ ! -x "$BIN/$program" ]; then
    echo "demo: $BIN/$program is missing (build first: ./run build)" >&2
    exit 1
  fi
done

# A live host holds an exclusive lock on its block (/dev/shm/NAME) for as long as it runs. A
# demo already running under a name keeps it; this one takes the next free name.
BASE=${VELDRIN_DEMO_NAME:-veldrin-demo}
name_taken() { [ -e "/dev/shm/$1" ] && ! flock -n "/dev/shm/$1" true 2>/dev/null; }
NAME=$BASE
DATA=$DATA_ROOT
n=1
while name_taken "$NAME"; do
  n=$((n + 1))
  if [ $n -gt 20 ]; then
    echo "demo: the names $BASE to $BASE-20 are all in use by running demos" >&2
    exit 1
  fi
  NAME=$BASE-$n
  DATA=$DATA_ROOT/$NAME
done
BAG=${2:-}
CAMERA="Table camera"

# A fresh folder; sub-folders are the data of demos running under other names.
mkdir -p "$DATA"
find "$DATA" -maxdepth 1 -type f -delete
if [ "$MODE" = depth ]; then
  CAMERA="Table RealSense"
  SOURCE=scene:table
  printf '[%s]\r\nCamera=%s\r\n' "$NAME" "$CAMERA" > "$DATA/CamDrv.ini"
  # The table is measured empty first, as an operator does before "Save Plane": the 3D plane at
  # the default corners, and those corners as the 2D plane.
  echo '{"size": [640, 480]}' > "$DATA/empty-table.json"
  if [ "$BAG" = --bag ]; then
    VELDRIN_SCENE="$DATA/empty-table.json" "$BIN/veldrin-probe" record "$DATA/empty-table.bag" \
      --frames 60 >/dev/null
    SOURCE="bag:$DATA/empty-table.bag"
  elif [ -n "$BAG" ]; then
    usage >&2
    exit 2
  fi
  VELDRIN_CAMERAS="$CAMERA=$SOURCE" VELDRIN_SCENE="$DATA/empty-table.json" \
    "$BIN/veldrin-probe" depth --frames 150 \
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
  export VELDRIN_CAMERAS="$CAMERA=scene:table"
  if [ "$BAG" = --bag ]; then
    "$BIN/veldrin-probe" record "$DATA/scene.bag" --frames 90 >/dev/null
    export VELDRIN_CAMERAS="$CAMERA=bag:$DATA/scene.bag"
    echo "demo: playing $DATA/scene.bag"
  fi
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

echo "demo: instance $NAME, data folder $DATA"
if [ -n "${DISPLAY:-}" ] && [ -z "${VELDRIN_DEMO_HEADLESS:-}" ]; then
  echo "demo: close the window to end"
  run_host
else
  if ! command -v xvfb-run >/dev/null; then
    echo "demo: no display, and xvfb-run (Debian package xvfb) is not installed" >&2
    exit 1
  fi
  shots=$DATA
  export VELDRIN_SCREENSHOT=$shots/main-window.png
  export VELDRIN_SCREENSHOT_AFTER_MS=${VELDRIN_SCREENSHOT_AFTER_MS:-5000}
  echo "demo: no display; running under Xvfb for a few seconds"
  export BIN NAME DATA
  xvfb-run -a -s "-screen 0 1600x1200x24" bash -c "$(declare -f run_host); run_host"
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
