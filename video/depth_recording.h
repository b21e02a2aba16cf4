#pragma once

#include <string>

#include "video/table_scene.h"

// Recordings (.bag files) of depth cameras, through the vendor library; without it both throw
// CNoDepthDeviceError(veldrin::kNoRealSenseSupport). Other failures are CDepthDeviceError kinds
// with one line of text. A file that cannot be completed is removed, never left half-written.

namespace veldrin {

// `frames` framesets of the simulated depth camera of the table scene: depth (Z16 in the scene's
// units) and the colour camera at its native size, both streams' intrinsics and distortion
// models, the depth-to-colour extrinsics, the depth scale, a device name that contains
// "RealSense" and a serial number.
void RecordTableScene(const STableSceneParams& params, const std::string& file, int frames);

// `frames` framesets of the connected camera with `serial` (depth and colour at the camera's
// default streams), as the library's recorder writes them.
void RecordDepthCamera(const std::string& serial, const std::string& file, int frames);

// The device name and serial number recordings of the table scene carry.
inline constexpr const char* kTableSceneDeviceName = "RealSense table scene (simulated)";
inline constexpr const char* kTableSceneSerial = "TS0000000001";

}  // namespace veldrin
