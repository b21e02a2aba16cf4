#include "depth/plane_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>

#include "testing/scratch_dir.h"
#include "testing/test_files.h"

namespace fs = std::filesystem;
using namespace veldrin;
using veldrin_test::LEFloatBytes;

namespace {

const Plane2D kCorners2D{{{100, 50}, {540, 50}, {540, 430}, {100, 430}}};
const Plane3D kCorners3D{
    {{-0.25f, -0.1f, 0.9f}, {0.25f, -0.1f, 0.91f}, {0.25f, 0.2f, 0.95f}, {-0.25f, 0.2f, 0.94f}}};
const Plane2D kSentinel2D{{{-1, -1}, {-2, -2}, {-3, -3}, {-4, -4}}};
const Plane3D kSentinel3D{{{-1, -1, -1}, {-2, -2, -2}, {-3, -3, -3}, {-4, -4, -4}}};

// What a Windows text stream stores for the bytes.
std::string TextMode(const std::string& bytes) {
  std::string out;
  for (char c : bytes) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

class PlaneFilesTest : public ::testing::Test {
 protected:
  void Put(const std::string& path, const std::string& bytes) const {
    veldrin_test::WriteFileBytes(path, bytes);
  }
  std::string Get(const std::string& path) const { return veldrin_test::ReadFileBytes(path); }

  veldrin_test::CScratchDir m_scratch{"plane"};
  const std::string m_folder = m_scratch.Folder();
};

TEST(PlaneFileNames, FolderIsJoinedWithoutSeparator) {
  EXPECT_EQ(Plane2DPath("/srv/data/"), "/srv/data/2DPlane.pt3");
  EXPECT_EQ(Plane3DPath("/srv/data"), "/srv/data3DPlane.pt3");
}

// No folder names no file: nothing lands in or is read from the working directory.
TEST_F(PlaneFilesTest, EmptyFolderNamesNoFile) {
  const fs::path before = fs::current_path();
  fs::current_path(m_folder);
  Plane2D corners{};
  EXPECT_FALSE(WritePlane2D(Plane2DPath(""), corners));
  EXPECT_FALSE(WritePlane3D(Plane3DPath(""), Plane3D{}));
  EXPECT_FALSE(ReadPlane2D(Plane2DPath(""), corners));
  fs::current_path(before);
  EXPECT_TRUE(fs::is_empty(m_folder));
}

TEST_F(PlaneFilesTest, RecordsAreTheBareLittleEndianFloats) {
  const std::string path2 = Plane2DPath(m_folder);
  const std::string path3 = Plane3DPath(m_folder);
  ASSERT_TRUE(WritePlane2D(path2, kCorners2D));
  ASSERT_TRUE(WritePlane3D(path3, kCorners3D));
  EXPECT_EQ(Get(path2), LEFloatBytes({100, 50, 540, 50, 540, 430, 100, 430}));
  EXPECT_EQ(Get(path3).size(), kPlane3DRecordSize);

  Plane2D read2 = kSentinel2D;
  Plane3D read3 = kSentinel3D;
  ASSERT_TRUE(ReadPlane2D(path2, read2));
  ASSERT_TRUE(ReadPlane3D(path3, read3));
  EXPECT_EQ(read2, kCorners2D);
  EXPECT_EQ(read3, kCorners3D);
}

TEST_F(PlaneFilesTest, BinaryRecordHoldingCrLfIsReadAsWritten) {
  // 0x0D 0x0A inside a binary record is data, not a text-mode line end.
  const float crlf = std::bit_cast<float>(uint32_t{0x3F0A0D00});
  const Plane2D corners{{{crlf, crlf}, {1, 2}, {3, 4}, {5, 6}}};
  const std::string path = Plane2DPath(m_folder);
  ASSERT_TRUE(WritePlane2D(path, corners));
  Plane2D read = kSentinel2D;
  ASSERT_TRUE(ReadPlane2D(path, read));
  EXPECT_EQ(read, corners);
}

TEST_F(PlaneFilesTest, ReadsFilesWrittenInWindowsTextMode) {
  // 0x0A bytes (and a genuine 0x0D 0x0A pair) expanded by the text stream.
  const float lf = std::bit_cast<float>(uint32_t{0x410A0A00});
  const float crlf = std::bit_cast<float>(uint32_t{0x420D0A0D});
  const Plane2D corners{{{lf, 1}, {crlf, 2}, {3, lf}, {4, crlf}}};
  const std::string raw = LEFloatBytes({lf, 1, crlf, 2, 3, lf, 4, crlf});
  ASSERT_GT(TextMode(raw).size(), raw.size());
  Put(Plane2DPath(m_folder), TextMode(raw));
  Plane2D read = kSentinel2D;
  ASSERT_TRUE(ReadPlane2D(Plane2DPath(m_folder), read));
  EXPECT_EQ(std::bit_cast<uint32_t>(read[0].x), 0x410A0A00u);
  EXPECT_EQ(read, corners);

  const Plane3D corners3{{{lf, lf, lf}, {1, 2, 3}, {crlf, 0, 0}, {0, 0, lf}}};
  Put(Plane3DPath(m_folder), TextMode(LEFloatBytes({lf, lf, lf, 1, 2, 3, crlf, 0, 0, 0, 0, lf})));
  Plane3D read3 = kSentinel3D;
  ASSERT_TRUE(ReadPlane3D(Plane3DPath(m_folder), read3));
  EXPECT_EQ(read3, corners3);
}

TEST_F(PlaneFilesTest, ShortMissingOrOddFilesLeaveTheCornersAlone) {
  const std::string path2 = Plane2DPath(m_folder);
  const std::string path3 = Plane3DPath(m_folder);
  const std::string full = LEFloatBytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
  Plane2D read2 = kSentinel2D;
  Plane3D read3 = kSentinel3D;

  EXPECT_FALSE(ReadPlane2D(path2, read2));  // missing
  EXPECT_FALSE(ReadPlane3D(path3, read3));
  for (size_t length : {size_t{0}, size_t{1}, size_t{31}}) {
    Put(path2, full.substr(0, length));
    EXPECT_FALSE(ReadPlane2D(path2, read2)) << length;
  }
  for (size_t length : {size_t{0}, size_t{32}, size_t{47}}) {
    Put(path3, full.substr(0, length));
    EXPECT_FALSE(ReadPlane3D(path3, read3)) << length;
  }
  // Line-end pairs that shrink a 50-byte file below a whole 3D record.
  Put(path3, "\r\n\r\n\r\n\r\n" + std::string(42, 'x'));
  EXPECT_FALSE(ReadPlane3D(path3, read3));
  fs::create_directory(m_folder + "dir2DPlane.pt3");
  EXPECT_FALSE(ReadPlane2D(m_folder + "dir2DPlane.pt3", read2));
  EXPECT_EQ(read2, kSentinel2D);
  EXPECT_EQ(read3, kSentinel3D);

  // Anything after the record is ignored, however much there is.
  Put(path2, full + std::string(1 << 20, 'z'));
  ASSERT_TRUE(ReadPlane2D(path2, read2));
  EXPECT_EQ(read2, (Plane2D{{{1, 2}, {3, 4}, {5, 6}, {7, 8}}}));
}

// A table no camera could see would give absurd heights and corners: refused, naming the file.
TEST_F(PlaneFilesTest, PlanesNoCameraCouldSeeAreRefused) {
  const std::string path = Plane3DPath(m_folder);
  const auto with = [](int corner, cv::Point3f p) {
    Plane3D plane = kCorners3D;
    plane[corner] = p;
    return plane;
  };
  const auto scaled = [](float factor) {
    Plane3D plane = kCorners3D;
    for (auto& p : plane) p *= factor;
    return plane;
  };
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const Plane3D flat{{{0, 0, 1}, {0.1f, 0, 1}, {0.2f, 0, 1}, {0.3f, 0, 1}}};
  for (const Plane3D& bad :
       {scaled(-1), scaled(1000), scaled(0.01f), with(2, {0, 0, nan}), with(1, {5, 0, 1}), flat}) {
    ASSERT_TRUE(WritePlane3D(path, bad));
    Plane3D read = kSentinel3D;
    std::string error;
    EXPECT_FALSE(ReadPlane3D(path, read, error)) << bad[1].x << " " << bad[1].z;
    EXPECT_NE(error.find(path), std::string::npos) << error;
    EXPECT_EQ(read, kSentinel3D);
  }
  ASSERT_TRUE(WritePlane3D(path, kCorners3D));
  Plane3D read;
  std::string error;
  EXPECT_TRUE(ReadPlane3D(path, read, error)) << error;
  EXPECT_EQ(read, kCorners3D);
}

TEST_F(PlaneFilesTest, FailedWriteKeepsThePreviousFile) {
  const std::string path = Plane2DPath(m_folder);
  ASSERT_TRUE(WritePlane2D(path, kCorners2D));
  EXPECT_FALSE(WritePlane2D(m_folder + "missing/2DPlane.pt3", kSentinel2D));
  fs::create_directory(m_folder + "3DPlane.pt3");
  EXPECT_FALSE(WritePlane3D(Plane3DPath(m_folder), kCorners3D));
  Plane2D read = kSentinel2D;
  ASSERT_TRUE(ReadPlane2D(path, read));
  EXPECT_EQ(read, kCorners2D);
  EXPECT_EQ(veldrin_test::FileNames(m_folder),
            (std::vector<std::string>{"2DPlane.pt3", "3DPlane.pt3"}));
}

}  // namespace
