#include "video/device_list.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "video/opencv_video_engine.h"

namespace {

std::vector<SFoundDevice> Devices(std::initializer_list<const char*> names) {
  std::vector<SFoundDevice> found;
  int node = 0;
  for (const char* name : names) {
    SFoundDevice device;
    device.name = name;
    device.resolutions = {cv::Point(640, 480)};
    device.locator.kind = SDeviceLocator::EKind::kV4L2;
    device.locator.node = node++;
    found.push_back(device);
  }
  return found;
}

struct Slots {
  VIDEO_DEVICE_DATA devices[MAX_VIDEO_DEVICES];
  SDeviceLocator locators[MAX_VIDEO_DEVICES];
  int Fill(const std::vector<SFoundDevice>& found) {
    return veldrin::FillDeviceSlots(found, devices, locators);
  }
};

TEST(DeviceSlotsTest, EqualNamesAreSuffixedAgainstThePreviousSlotOnly) {
  Slots slots;
  ASSERT_EQ(slots.Fill(Devices({"USB Cam", "USB Cam"})), 2);
  EXPECT_EQ(slots.devices[0].strName, "USB Cam");
  EXPECT_EQ(slots.devices[1].strName, "USB Cam_1");

  ASSERT_EQ(slots.Fill(Devices({"USB Cam", "USB Cam", "USB Cam", "USB Cam"})), 4);
  EXPECT_EQ(slots.devices[0].strName, "USB Cam");
  EXPECT_EQ(slots.devices[1].strName, "USB Cam_1");
  EXPECT_EQ(slots.devices[2].strName, "USB Cam");  // compared with "USB Cam_1"
  EXPECT_EQ(slots.devices[3].strName, "USB Cam_3");

  // Equal names that are not neighbours stay as they are.
  ASSERT_EQ(slots.Fill(Devices({"A", "B", "A"})), 3);
  EXPECT_EQ(slots.devices[2].strName, "A");
}

TEST(DeviceSlotsTest, EmptyFirstNameGetsIndexZeroSuffix) {
  Slots slots;
  ASSERT_EQ(slots.Fill(Devices({"", ""})), 2);
  EXPECT_EQ(slots.devices[0].strName, "_0");
  EXPECT_EQ(slots.devices[1].strName, "");  // differs from "_0"
}

TEST(DeviceSlotsTest, SixthDeviceIsIgnoredAndLocatorsFollowSlots) {
  Slots slots;
  ASSERT_EQ(slots.Fill(Devices({"a", "b", "c", "d", "e", "f", "g"})), MAX_VIDEO_DEVICES);
  EXPECT_EQ(slots.devices[4].strName, "e");
  for (int i = 0; i < MAX_VIDEO_DEVICES; ++i) EXPECT_EQ(slots.locators[i].node, i);
}

TEST(DeviceSlotsTest, NoDevicesKeepsPreviousSlotsButShorterListClearsTheRest) {
  Slots slots;
  slots.Fill(Devices({"a", "b", "c"}));
  EXPECT_EQ(slots.Fill({}), 0);
  EXPECT_EQ(slots.devices[2].strName, "c");

  ASSERT_EQ(slots.Fill(Devices({"x"})), 1);
  EXPECT_EQ(slots.devices[1].strName, "");
  EXPECT_TRUE(slots.devices[1].resolutions.empty());
  EXPECT_EQ(slots.locators[1].kind, SDeviceLocator::EKind::kNone);
}

TEST(DeviceSlotsTest, IsRealSenseIsCaseSensitiveAndBoundedByTheCount) {
  Slots slots;
  const int count = slots.Fill(
      Devices({"Intel(R) RealSense(TM) Depth Camera 435 RGB", "realsense clone", "Webcam"}));
  const unsigned n = static_cast<unsigned>(count);
  EXPECT_EQ(veldrin::IsRealSenseSlot(slots.devices, n, 0), 1);
  EXPECT_EQ(veldrin::IsRealSenseSlot(slots.devices, n, 1), 0);
  EXPECT_EQ(veldrin::IsRealSenseSlot(slots.devices, n, 2), 0);
  EXPECT_EQ(veldrin::IsRealSenseSlot(slots.devices, n, 3), -1);  // index == count
  EXPECT_EQ(veldrin::IsRealSenseSlot(slots.devices, n, -1), -1);
  EXPECT_EQ(veldrin::IsRealSenseSlot(slots.devices, 0, 0), -1);
}

// The engine's list, built from virtual cameras: names, resolutions and the slot mapping.
TEST(DeviceSlotsTest, EngineListsVirtualCamerasWithTheSlotRules) {
  ::setenv("VELDRIN_CAMERAS",
           "Table=scene:table;Table=scene:table;Broken=/nonexistent/file.png;"
           "Cam RealSense=scene:table;e=scene:table;f=scene:table",
           1);
  CKivOpenCVVideoEngine engine;
  ASSERT_EQ(engine.GetDeviceCount(), 5u);
  EXPECT_EQ(engine.m_devices[0].strName, "Table");
  EXPECT_EQ(engine.m_devices[1].strName, "Table_1");
  EXPECT_EQ(engine.IsRealSense(3), 1);
  EXPECT_EQ(engine.IsRealSense(5), -1);
  EXPECT_TRUE(engine.m_devices[2].resolutions.empty());
  EXPECT_TRUE(engine.IsDeviceAvailable(0));
  EXPECT_FALSE(engine.IsDeviceAvailable(2));
  EXPECT_FALSE(engine.IsDeviceAvailable(5));  // listed nowhere: nothing to open
  EXPECT_EQ(engine.FindFirstAvailableDevice(), 0);

  ::setenv("VELDRIN_CAMERAS", "", 1);
  EXPECT_EQ(engine.EnumerateDevices(), 0);
  EXPECT_EQ(engine.m_devices[0].strName, "Table");  // an empty list leaves the slots
  EXPECT_EQ(engine.FindFirstAvailableDevice(), -1);
  ::unsetenv("VELDRIN_CAMERAS");
}

}  // namespace
