#pragma once

#include <string>
#include <vector>

namespace veldrin {

// veldrin-probe depth [--frames N] [--corners X0 Y0 X1 Y1 X2 Y2 X3 Y3] [--plane DIR]
//                     [--save-plane DIR] [--media WxH [--objects] [--publish FILE [--height-true]]]
// Runs the RealSense engine on the first listed device whose name contains "RealSense" for N
// depth frames (20), carries the colour-pixel corners (the default corners of the device's first
// listed size) into the depth picture and measures as the 3D View does. Prints "height_mm H"
// and "depth_corners" with eight numbers; with --plane, measures against the 3D plane stored in
// DIR and also prints "raised_corners", the colour pixels auto calibration would set.
// --save-plane writes the last frame's 3D plane file into DIR. With --media (millimetres),
// --objects prints "object <cx_mm> <cy_mm> <height_mm> <area_mm2>" per object standing on the
// media, and --publish writes the picture the tool would publish after the last frame (the plain
// rectified one, or with --height-true the height-true one). Folders are joined without a
// separator, as the host's folder ends with one. Errors: one line on stderr, exit status 1.
int ProbeDepth(const std::vector<std::string>& args);

// veldrin-probe record FILE.bag [--frames N] [--device SERIAL]
// Records N framesets (60) of the simulated depth camera of the table scene (VELDRIN_SCENE
// applies) into FILE.bag, or with --device those of the connected camera with that serial
// number. Prints "recorded N frames into FILE". Errors: one line on stderr, exit status 1.
int ProbeRecord(const std::vector<std::string>& args);

}  // namespace veldrin
