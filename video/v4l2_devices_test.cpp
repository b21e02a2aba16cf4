#include "video/v4l2_devices.h"

#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "testing/scratch_dir.h"
#include "testing/test_files.h"

namespace {

using Sizes = std::vector<cv::Point>;

// Answers as recorded from a UVC webcam: YUYV with several rates per size, MJPG sizes that
// must not be listed, and a metadata node that is not a capture device.
SV4L2FormatInfo Yuyv() {
  return {V4L2_PIX_FMT_YUYV,
          {{true, 640, 480, 2}, {true, 160, 120, 1}, {true, 1280, 720, 1}, {true, 640, 480, 1}}};
}
SV4L2FormatInfo Mjpg() { return {V4L2_PIX_FMT_MJPEG, {{true, 1920, 1080, 2}}}; }

TEST(V4L2ResolutionsTest, SixteenBitFormatsOnlyOncePerIntervalInDriverOrder) {
  EXPECT_EQ(veldrin::ListV4L2Resolutions({Mjpg(), Yuyv()}),
            (Sizes{{640, 480}, {640, 480}, {160, 120}, {1280, 720}, {640, 480}}));
  EXPECT_TRUE(veldrin::ListV4L2Resolutions({Mjpg()}).empty());
  // Formats are listed one after another, not merged.
  EXPECT_EQ(veldrin::ListV4L2Resolutions({{V4L2_PIX_FMT_UYVY, {{true, 320, 240, 1}}},
                                          {V4L2_PIX_FMT_RGB565, {{true, 320, 240, 1}}}}),
            (Sizes{{320, 240}, {320, 240}}));
}

TEST(V4L2ResolutionsTest, RangesAndSizesWithoutIntervals) {
  // A stepwise size has no fixed size to list; a size without reported rates counts once.
  EXPECT_TRUE(
      veldrin::ListV4L2Resolutions({{V4L2_PIX_FMT_YUYV, {{false, 1920, 1080, 1}}}}).empty());
  EXPECT_EQ(veldrin::ListV4L2Resolutions({{V4L2_PIX_FMT_YVYU, {{true, 800, 600, 0}}}}),
            (Sizes{{800, 600}}));
}

TEST(V4L2ResolutionsTest, FormatAndNodeClassification) {
  for (std::uint32_t f : {V4L2_PIX_FMT_YUYV, V4L2_PIX_FMT_UYVY, V4L2_PIX_FMT_YVYU,
                          V4L2_PIX_FMT_VYUY, V4L2_PIX_FMT_RGB565}) {
    EXPECT_TRUE(veldrin::Is16BitPixelFormat(f));
  }
  for (std::uint32_t f : {V4L2_PIX_FMT_MJPEG, V4L2_PIX_FMT_NV12, V4L2_PIX_FMT_BGR24,
                          V4L2_PIX_FMT_GREY, V4L2_PIX_FMT_NV16}) {
    EXPECT_FALSE(veldrin::Is16BitPixelFormat(f));
  }
  EXPECT_TRUE(veldrin::IsVideoCaptureNode(V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING));
  EXPECT_FALSE(veldrin::IsVideoCaptureNode(V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING));
}

// A depth camera shows up as several nodes: only its colour node is a colour camera.
TEST(V4L2ResolutionsTest, DepthAndInfraredNodesAreNoColourCameras) {
  const SV4L2FormatInfo z16{V4L2_PIX_FMT_Z16, {{true, 640, 480, 3}}};
  const SV4L2FormatInfo y8i{v4l2_fourcc('Y', '8', 'I', ' '), {{true, 640, 480, 3}}};
  const SV4L2FormatInfo grey{V4L2_PIX_FMT_GREY, {{true, 640, 480, 3}}};
  const SV4L2FormatInfo y16{V4L2_PIX_FMT_Y16, {{true, 640, 480, 3}}};
  const SV4L2FormatInfo uyvy{V4L2_PIX_FMT_UYVY, {{true, 640, 480, 3}}};
  EXPECT_TRUE(veldrin::IsDepthOrInfraredNode({z16}));
  EXPECT_TRUE(veldrin::IsDepthOrInfraredNode({grey, y8i, uyvy}));  // infrared with a colour mode
  EXPECT_TRUE(veldrin::IsDepthOrInfraredNode({grey, y16}));
  EXPECT_FALSE(veldrin::IsDepthOrInfraredNode({Yuyv(), Mjpg()}));  // the colour node
  EXPECT_FALSE(veldrin::IsDepthOrInfraredNode({Yuyv(), grey}));
  EXPECT_FALSE(veldrin::IsDepthOrInfraredNode({}));  // a node that told nothing stays listed
}

TEST(V4L2ResolutionsTest, SerialNumberOfTheNodesUsbDevice) {
  veldrin_test::CScratchDir sys("sysfs");
  const std::filesystem::path device = sys.Path() / "devices/usb2/2-1";
  std::filesystem::create_directories(device / "2-1:1.3");
  veldrin_test::WriteFileBytes(device / "serial", "843112071234\n");
  std::filesystem::create_directories(sys.Path() / "class/video4linux/video4");
  std::filesystem::create_directory_symlink(device / "2-1:1.3",
                                            sys.Path() / "class/video4linux/video4/device");
  EXPECT_EQ(veldrin::UsbSerialOfNode(sys.Path().string(), 4), "843112071234");
  EXPECT_EQ(veldrin::UsbSerialOfNode(sys.Path().string(), 5), "");
}

TEST(V4L2ResolutionsTest, NodeNumbersSortNumerically) {
  EXPECT_EQ(veldrin::VideoNodeNumbers(
                {"video10", "video2", "video0", "videox", "video", "video1a", "media0", "vbi0"}),
            (std::vector<int>{0, 2, 10}));
}

// A driver answering the enumeration ioctls from a table, EINVAL past the end.
struct FakeNode {
  std::uint32_t capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_DEVICE_CAPS;
  std::uint32_t deviceCaps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
  std::vector<SV4L2FormatInfo> formats;
  bool stepwiseIntervals = false;

  const SV4L2FormatInfo* Find(std::uint32_t fourcc) const {
    for (const auto& f : formats)
      if (f.pixelFormat == fourcc) return &f;
    return nullptr;
  }
  int Fail() const {
    errno = EINVAL;
    return -1;
  }
  int operator()(unsigned long request, void* arg) const {
    if (request == VIDIOC_QUERYCAP) {
      auto* caps = static_cast<v4l2_capability*>(arg);
      std::strncpy(reinterpret_cast<char*>(caps->card), "UVC Camera (046d:0825)",
                   sizeof caps->card);
      caps->capabilities = capabilities;
      caps->device_caps = deviceCaps;
      return 0;
    }
    if (request == VIDIOC_ENUM_FMT) {
      auto* desc = static_cast<v4l2_fmtdesc*>(arg);
      if (desc->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || desc->index >= formats.size()) return Fail();
      desc->pixelformat = formats[desc->index].pixelFormat;
      return 0;
    }
    if (request == VIDIOC_ENUM_FRAMESIZES) {
      auto* size = static_cast<v4l2_frmsizeenum*>(arg);
      const SV4L2FormatInfo* f = Find(size->pixel_format);
      if (!f || size->index >= f->sizes.size()) return Fail();
      const SV4L2FrameSize& s = f->sizes[size->index];
      size->type = s.discrete ? V4L2_FRMSIZE_TYPE_DISCRETE : V4L2_FRMSIZE_TYPE_STEPWISE;
      if (s.discrete) {
        size->discrete = {static_cast<std::uint32_t>(s.width),
                          static_cast<std::uint32_t>(s.height)};
      } else {
        size->stepwise.max_width = static_cast<std::uint32_t>(s.width);
        size->stepwise.max_height = static_cast<std::uint32_t>(s.height);
      }
      return 0;
    }
    if (request == VIDIOC_ENUM_FRAMEINTERVALS) {
      auto* interval = static_cast<v4l2_frmivalenum*>(arg);
      const SV4L2FormatInfo* f = Find(interval->pixel_format);
      if (!f) return Fail();
      for (const SV4L2FrameSize& s : f->sizes) {
        if (s.width != static_cast<int>(interval->width) ||
            s.height != static_cast<int>(interval->height)) {
          continue;
        }
        if (static_cast<int>(interval->index) >= s.intervals) return Fail();
        interval->type =
            stepwiseIntervals ? V4L2_FRMIVAL_TYPE_STEPWISE : V4L2_FRMIVAL_TYPE_DISCRETE;
        return 0;
      }
      return Fail();
    }
    return Fail();
  }
};

TEST(V4L2QueryTest, WalksFormatsSizesAndIntervals) {
  FakeNode node;
  // Distinct sizes here: the fake looks intervals up by size.
  node.formats = {Mjpg(), {V4L2_PIX_FMT_YUYV, {{true, 640, 480, 3}, {true, 352, 288, 1}}}};
  const std::optional<SV4L2DeviceInfo> info = veldrin::QueryV4L2Device(node);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->card, "UVC Camera (046d:0825)");
  ASSERT_EQ(info->formats.size(), 2u);
  EXPECT_EQ(veldrin::ListV4L2Resolutions(info->formats),
            (Sizes{{640, 480}, {640, 480}, {640, 480}, {352, 288}}));

  node.stepwiseIntervals = true;  // a rate range is one entry
  EXPECT_EQ(veldrin::ListV4L2Resolutions(veldrin::QueryV4L2Device(node)->formats),
            (Sizes{{640, 480}, {352, 288}}));
}

TEST(V4L2QueryTest, MetadataNodeHasNoFormatsAndDeviceCapsWin) {
  FakeNode node;
  node.formats = {Yuyv()};
  node.deviceCaps = V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING;  // the camera's second node
  const std::optional<SV4L2DeviceInfo> info = veldrin::QueryV4L2Device(node);
  ASSERT_TRUE(info);
  EXPECT_FALSE(veldrin::IsVideoCaptureNode(info->capabilities));
  EXPECT_TRUE(info->formats.empty());

  EXPECT_FALSE(veldrin::QueryV4L2Device([](unsigned long, void*) { return -1; }));
}

}  // namespace
