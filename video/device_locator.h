#pragma once

#include <string>

// What a device-list position opens: a V4L2 node by its number, or a virtual source. The list
// and the engines both go through this record, so position i always opens the device listed
// at i even when node numbers have gaps (metadata nodes, unplugged devices).
struct SDeviceLocator {
  enum class EKind { kNone, kV4L2, kVirtual };
  EKind kind = EKind::kNone;
  int node = -1;       // /dev/videoN
  std::string source;  // virtual source text
  std::string serial;  // the USB device's serial number of a V4L2 node, when it has one
};
