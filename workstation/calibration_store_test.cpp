#include "workstation/calibration_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <clocale>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "testing/scratch_dir.h"
#include "testing/test_files.h"

namespace fs = std::filesystem;
using veldrin_test::LEFloatBytes;
using Points = std::vector<cv::Point2f>;

namespace {

const std::string kExample =
    "{\"CornerX_0\":\"160.000000\",\"CornerX_1\":\"480.000000\",\"CornerX_2\":\"480.000000\","
    "\"CornerX_3\":\"160.000000\",\"CornerY_0\":\"120.000000\",\"CornerY_1\":\"120.000000\","
    "\"CornerY_2\":\"360.000000\",\"CornerY_3\":\"360.000000\",\"numCorners\":\"4\"}\n";
const Points kDefault{{160, 120}, {480, 120}, {480, 360}, {160, 360}};
const Points kSentinel{{-1, -2}};

class CalibrationStoreTest : public ::testing::Test {
 protected:
  void Put(const std::string& file, const std::string& bytes) const {
    veldrin_test::WriteFileBytes(m_dir + file, bytes);
  }
  std::string Get(const std::string& file) const {
    return veldrin_test::ReadFileBytes(m_dir + file);
  }
  std::vector<std::string> Files() const { return veldrin_test::FileNames(m_dir); }
  // Reads `bytes` as a calibration into a list that starts as kSentinel.
  int ReadBytes(const std::string& bytes, Points& out) const {
    Put("probe.clb", bytes);
    out = kSentinel;
    return CCalibrationStore::ReadCalibration(m_dir, "probe", out);
  }

  veldrin_test::CScratchDir m_scratch{"calib"};
  const std::string m_dir = m_scratch.Folder();
};

// Byte for byte: six decimals, keys sorted, and the lens and frame size of the picture the
// corners were placed on as more members (without them, the bytes are exactly the old form).
TEST_F(CalibrationStoreTest, WritesTheFileByteForByteAndReadsItBack) {
  std::string withLens = kExample;
  withLens.insert(withLens.find("\"numCorners\""), "\"Lens\":\"Front Cam.lens\",");
  std::string withFrame = withLens;
  withFrame.insert(withFrame.find("\"Lens\""), "\"FrameHeight\":\"480\",\"FrameWidth\":\"640\",");
  const struct {
    Points points;
    std::string lens;
    cv::Size frame;
    std::string bytes;
  } cases[] = {
      {kDefault, "", {}, kExample},
      {kDefault, "Front Cam.lens", {}, withLens},
      {kDefault, "Front Cam.lens", {640, 480}, withFrame},
      {{{123.5f, -0.25f}},
       "",
       {},
       "{\"CornerX_0\":\"123.500000\",\"CornerY_0\":\"-0.250000\",\"numCorners\":\"1\"}\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    ASSERT_TRUE(CCalibrationStore::WriteCalibration(m_dir, "c", c.points, c.lens, c.frame));
    EXPECT_EQ(Get("c.clb"), c.bytes);
    Points read;
    ECalibrationForm form;
    std::string lens = "stale";
    cv::Size frame(1, 1);
    EXPECT_EQ(CCalibrationStore::ReadCalibration(m_dir, "c", read, form, lens, frame),
              static_cast<int>(c.points.size()));
    EXPECT_EQ(form, ECalibrationForm::kJson);
    EXPECT_EQ(read, c.points);
    EXPECT_EQ(lens, c.lens);
    EXPECT_EQ(frame, c.frame);
  }
  // A file that cannot be read names no lens either.
  Points read;
  ECalibrationForm form;
  std::string lens = "stale";
  EXPECT_EQ(CCalibrationStore::ReadCalibration(m_dir, "missing", read, form, lens), 0);
  EXPECT_EQ(lens, "");
}

// A recorded size that is not a picture's is ignored; the corners still count.
TEST_F(CalibrationStoreTest, UnusableFrameSizeIsIgnored) {
  for (const std::string members :
       {"\"FrameWidth\":\"640\",", "\"FrameHeight\":\"0\",\"FrameWidth\":\"640\",",
        "\"FrameHeight\":480,\"FrameWidth\":640,",
        "\"FrameHeight\":\"480\",\"FrameWidth\":\"99999999\","}) {
    SCOPED_TRACE(members);
    std::string bytes = kExample;
    bytes.insert(1, members);
    Put("odd.clb", bytes);
    Points read;
    ECalibrationForm form;
    std::string lens;
    cv::Size frame(1, 1);
    EXPECT_EQ(CCalibrationStore::ReadCalibration(m_dir, "odd", read, form, lens, frame), 4);
    EXPECT_TRUE(frame.empty());
  }
}

TEST_F(CalibrationStoreTest, DecimalCommaLocaleDoesNotReachTheFile) {
  // The UI toolkit adopts the user's locale, which may write and read "123,500000".
  const char* locale = nullptr;
  for (const char* name : {"de_DE.UTF-8", "fr_FR.UTF-8", "es_ES.UTF-8", "de_DE", "fr_FR"}) {
    if ((locale = std::setlocale(LC_NUMERIC, name)) != nullptr) break;
  }
  if (!locale) GTEST_SKIP() << "no decimal-comma locale installed";
  const std::string text = CCalibrationStore::Serialize({{123.5f, 7}});
  Points read;
  const int count = ReadBytes(text, read);
  std::setlocale(LC_NUMERIC, "C");
  EXPECT_NE(text.find("\"123.500000\""), std::string::npos);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(read, (Points{{123.5f, 7}}));
}

TEST_F(CalibrationStoreTest, ElevenPointsSortKeysByBytes) {
  Points points;
  for (int i = 0; i < 11; ++i) points.emplace_back(static_cast<float>(i), 0.0f);
  const std::string text = CCalibrationStore::Serialize(points);
  EXPECT_LT(text.find("\"CornerX_10\""), text.find("\"CornerX_2\""));
  Points read;
  ASSERT_EQ(ReadBytes(text, read), 11);
  EXPECT_EQ(read, points);
}

TEST_F(CalibrationStoreTest, ReadsTheLegacyRawForm) {
  Points read;
  ECalibrationForm form;
  Put("old.clb", LEFloatBytes(kDefault));
  EXPECT_EQ(CCalibrationStore::ReadCalibration(m_dir, "old", read, form), 4);
  EXPECT_EQ(form, ECalibrationForm::kLegacy);
  EXPECT_EQ(read, kDefault);
  // A trailing partial record is ignored.
  EXPECT_EQ(ReadBytes(LEFloatBytes(kDefault) + "abc", read), 4);
  EXPECT_EQ(read, kDefault);
  // An empty file is a legacy file without points.
  EXPECT_EQ(ReadBytes("", read), 0);
  EXPECT_TRUE(read.empty());
}

TEST_F(CalibrationStoreTest, JsonCountDecidesThePoints) {
  Points read;
  const std::string three =
      "{ \"numCorners\": \"3\", \"CornerX_0\": \"1\", \"CornerY_0\": \"2\", \"CornerX_1\": \"3\","
      " \"CornerY_1\": \"4\", \"CornerX_2\": \"5.5\", \"CornerY_2\": \"6\", \"extra\": \"x\" }";
  EXPECT_EQ(ReadBytes(three, read), 3);
  EXPECT_EQ(read, (Points{{1, 2}, {3, 4}, {5.5f, 6}}));
  EXPECT_EQ(ReadBytes("{\"numCorners\":\"0\"}", read), 0);
  EXPECT_TRUE(read.empty());
  // Text after a number is ignored, like the C library's conversions do.
  EXPECT_EQ(ReadBytes("{\"numCorners\":\" 1pt\",\"CornerX_0\":\"7px\",\"CornerY_0\":\"x\"}", read),
            1);
  EXPECT_EQ(read, (Points{{7, 0}}));
}

TEST_F(CalibrationStoreTest, JsonThatIsNoCalibrationReadsAsNothing) {
  const std::vector<std::string> cases = {
      "{}",
      "{\"numCorners\":4}",
      "{\"numCorners\":\"-3\"}",
      "{\"numCorners\":\"2\",\"CornerX_0\":\"1\",\"CornerY_0\":\"1\"}",
      "{\"numCorners\":\"1\",\"CornerX_0\":1,\"CornerY_0\":\"1\"}",
      "{\"numCorners\":\"99999999999999999999\"}",
      "{\"numCorners\":\"2147483647\",\"CornerX_0\":\"1\",\"CornerY_0\":\"1\"}",
  };
  for (const auto& bytes : cases) {
    Points read;
    EXPECT_EQ(ReadBytes(bytes, read), 0) << bytes.substr(0, 60);
    EXPECT_EQ(read, kSentinel) << bytes.substr(0, 60);
  }
}

// Raw files have no header: whatever does not parse as one whole JSON object is raw, and four
// raw points always read as four points, whatever their first bytes look like to a parser.
TEST_F(CalibrationStoreTest, AnythingButOneWholeJsonObjectIsRaw) {
  Points read;
  ECalibrationForm form;
  // 4.0f starts with the bytes of "\0\0\x80@"; these first floats start with a digit, "-",
  // a quote and "{" instead.
  for (const char* head : {"12\x30\x41", "-\x01\x20\x41", "\"ab\x43", "{\x02\x10\x42"}) {
    std::string bytes = LEFloatBytes(kDefault);
    std::memcpy(bytes.data(), head, 4);
    Put("odd.clb", bytes);
    ASSERT_EQ(CCalibrationStore::ReadCalibration(m_dir, "odd", read, form), 4) << head;
    EXPECT_EQ(form, ECalibrationForm::kLegacy);
    EXPECT_EQ(read[1], kDefault[1]);
  }
  // A 32-byte file that happens to be valid JSON is still four raw points.
  const std::string json32 = "{\"12\":\"34\",\"56\":\"78\" }          ";
  ASSERT_EQ(json32.size(), 32u);
  EXPECT_EQ(ReadBytes(json32, read), 4);
  // Values followed by more bytes, and JSON that is not an object, are raw too.
  EXPECT_EQ(ReadBytes("42", read), 0);
  EXPECT_TRUE(read.empty());
  read = kSentinel;
  EXPECT_EQ(ReadBytes("\"text\"", read), 0);
  EXPECT_TRUE(read.empty());
  // Deep nesting beyond the parser's limit is raw as well, never a crash (and "[[[[" is no
  // usable coordinate).
  EXPECT_EQ(ReadBytes(std::string(80000, '[') + std::string(80000, ']'), read), 0);
  // Trailing white space still belongs to the JSON.
  EXPECT_EQ(ReadBytes(kExample + "  \n", read), 4);
  EXPECT_EQ(read, kDefault);
}

TEST_F(CalibrationStoreTest, CornersThatAreNoPlaceAreRefused) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (float bad : {1e30f, -1e30f, 3e9f, 1.5e6f, inf, -inf, nan}) {
    Points corners = kDefault;
    corners[2].y = bad;
    Points read;
    EXPECT_EQ(ReadBytes(LEFloatBytes(corners), read), 0) << bad;
    EXPECT_EQ(read, kSentinel) << bad;
    ASSERT_TRUE(CCalibrationStore::WriteCalibration(m_dir, "probe", corners));
    read = kSentinel;
    EXPECT_EQ(CCalibrationStore::ReadCalibration(m_dir, "probe", read), 0) << bad;
    EXPECT_EQ(read, kSentinel) << bad;
  }
  Points edge = kDefault;
  edge[0] = {-1e6f, 1e6f};
  Points read;
  EXPECT_EQ(ReadBytes(LEFloatBytes(edge), read), 4);
}

TEST_F(CalibrationStoreTest, UnopenableOrHugeFilesReadAsNothing) {
  Points read = kSentinel;
  EXPECT_EQ(CCalibrationStore::ReadCalibration(m_dir, "missing", read), 0);
  fs::create_directory(m_dir + "dir.clb");
  EXPECT_EQ(CCalibrationStore::ReadCalibration(m_dir, "dir", read), 0);
  EXPECT_EQ(read, kSentinel);
  EXPECT_EQ(ReadBytes(std::string(8u << 20, '\0'), read), 0);
  EXPECT_EQ(read, kSentinel);
}

TEST_F(CalibrationStoreTest, ListsNamesAndLoadsByIndex) {
  CCalibrationStore empty(m_dir);
  EXPECT_EQ(empty.GetCount(), 0);
  EXPECT_EQ(empty.GetName(0), "");
  Points read = kSentinel;
  EXPECT_EQ(empty.Load(0, read), 0);
  EXPECT_EQ(read, kSentinel);

  Put("b.clb", kExample);
  Put("A.clb", LEFloatBytes(kDefault));
  Put("x.y.clb", kExample);
  Put(".clb", kExample);
  Put("notes.txt", "x");
  Put("c.clb.bak", "x");
  fs::create_directory(m_dir + "folder.clb");
  CCalibrationStore store(m_dir);
  ASSERT_EQ(store.GetCount(), 4);
  const std::string names[] = {"", "", "A", "b", "x.y", ""};  // from index -1, one beyond the end
  for (int i = -1; i <= 4; ++i) EXPECT_EQ(store.GetName(i), names[i + 1]) << i;
  EXPECT_TRUE(store.Exists("A"));
  EXPECT_FALSE(store.Exists("a"));
  EXPECT_EQ(store.Load(1, read), 4);
  EXPECT_EQ(read, kDefault);
  EXPECT_EQ(store.Load(-1, read), 0);
}

TEST_F(CalibrationStoreTest, SaveAndRemoveRefreshTheList) {
  CCalibrationStore store(m_dir);
  ASSERT_TRUE(store.Save("Table", kDefault));
  ASSERT_TRUE(store.Save("table", kDefault));  // a case variant is a different calibration
  EXPECT_EQ(store.GetCount(), 2);
  EXPECT_TRUE(store.Exists("table"));

  // The camera reference saved beside a calibration goes with it, and only with it.
  Put("Table.ref.png", "picture");
  Put("table.ref.png", "picture");
  EXPECT_FALSE(store.Remove(2));
  EXPECT_FALSE(store.Remove(-1));
  ASSERT_TRUE(store.Remove(0));
  EXPECT_EQ(store.GetCount(), 1);
  EXPECT_EQ(store.GetName(0), "table");
  EXPECT_EQ(Files(), (std::vector<std::string>{"table.clb", "table.ref.png"}));

  // Deleted behind the store's back: the removal fails and the list stays until a refresh.
  fs::remove(m_dir + "table.clb");
  EXPECT_FALSE(store.Remove(0));
  EXPECT_EQ(store.GetCount(), 1);
  EXPECT_EQ(store.Refresh(), 0);
}

TEST_F(CalibrationStoreTest, SaveRefusesNamesOutsideTheFolder) {
  fs::create_directory(m_dir + "sub");
  CCalibrationStore store(m_dir + "sub/");
  const std::vector<std::string> names{"", ".", "..", "../escape", "a/b", std::string("a\0b", 3)};
  for (const std::string& name : names) {
    EXPECT_FALSE(store.Save(name, kDefault)) << name;
  }
  EXPECT_EQ(store.GetCount(), 0);
  EXPECT_EQ(Files(), std::vector<std::string>{"sub"});
  EXPECT_TRUE(fs::is_empty(m_dir + "sub"));
}

TEST_F(CalibrationStoreTest, FailedSaveKeepsThePreviousFile) {
  CCalibrationStore store(m_dir);
  ASSERT_TRUE(store.Save("keep", kDefault));
  // A directory in the target's place makes the final rename fail.
  fs::create_directory(m_dir + "blocked.clb");
  EXPECT_FALSE(store.Save("blocked", kDefault));
  EXPECT_FALSE(CCalibrationStore::WriteCalibration(m_dir + "missing/", "keep", {{1, 1}}));
  EXPECT_EQ(Get("keep.clb"), kExample);
  EXPECT_EQ(Files(), (std::vector<std::string>{"blocked.clb", "keep.clb"}));
}

// No folder (the host has not named one, or is rewriting it): nothing is listed, read or
// written, least of all in the working directory.
TEST_F(CalibrationStoreTest, EmptyDirectoryIsNoFolderAtAll) {
  Put("here.clb", kExample);
  const fs::path before = fs::current_path();
  fs::current_path(m_dir);
  CCalibrationStore store("");
  EXPECT_EQ(store.GetCount(), 0);
  EXPECT_FALSE(store.Save("stray", kDefault));
  fs::current_path(before);
  EXPECT_EQ(Files(), std::vector<std::string>{"here.clb"});
}

TEST_F(CalibrationStoreTest, DirectoryIsAPrefix) {
  // Without a trailing separator the last part prefixes the file names, and the listed
  // names lead back to the same files.
  Put("camA.clb", kExample);
  Put("other.clb", kExample);
  CCalibrationStore store(m_dir + "cam");
  ASSERT_EQ(store.GetCount(), 1);
  EXPECT_EQ(store.GetName(0), "A");
  Points read;
  EXPECT_EQ(store.Load(0, read), 4);
  ASSERT_TRUE(store.Remove(0));
  EXPECT_FALSE(fs::exists(m_dir + "camA.clb"));
}

}  // namespace
