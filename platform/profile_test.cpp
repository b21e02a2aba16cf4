#include "platform/profile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "testing/scratch_dir.h"
#include "testing/test_files.h"

namespace fs = std::filesystem;
using veldrin::GetPrivateProfileInt;
using veldrin::GetPrivateProfileString;
using veldrin::WritePrivateProfileString;

namespace {

class ProfileTest : public ::testing::Test {
 protected:
  void Put(const std::string& text) const { veldrin_test::WriteFileBytes(m_path, text); }
  std::string Get() const { return veldrin_test::ReadFileBytes(m_path); }

  veldrin_test::CScratchDir m_scratch{"profile"};
  const fs::path m_dir = m_scratch.Path();
  const std::string m_path = (m_dir / "CamDrv.ini").string();
};

TEST_F(ProfileTest, MissingFileSectionOrKeyReadsDefault) {
  EXPECT_EQ(GetPrivateProfileInt("inst", "RESX", 640, m_path), 640);
  EXPECT_EQ(GetPrivateProfileString("inst", "Camera", "none", m_path), "none");
  Put("[other]\nRESX=1280\n[inst]\nRESY=720\n");
  EXPECT_EQ(GetPrivateProfileInt("inst", "RESX", 640, m_path), 640);
  EXPECT_EQ(GetPrivateProfileInt("absent", "RESY", 480, m_path), 480);
  EXPECT_EQ(GetPrivateProfileInt("inst", "RESY", 480, m_path), 720);
  // A directory where the file should be is no settings file.
  EXPECT_EQ(GetPrivateProfileInt("inst", "RESY", 480, m_dir.string()), 480);
}

TEST_F(ProfileTest, NamesMatchWithoutCaseAndBlanksAreTrimmed) {
  Put("; written by hand\r\n"
      "  [ Inst ]  \r\n"
      "  resx =  1024  \r\n"
      "Camera= \"  USB Cam  \"\r\n"
      "bare\r\n"
      "[inst]\r\n"
      "RESX=9\r\n");
  EXPECT_EQ(GetPrivateProfileInt("INST", "ResX", 0, m_path), 1024);  // first match wins
  EXPECT_EQ(GetPrivateProfileString("inst", "CAMERA", "", m_path), "  USB Cam  ");
  EXPECT_EQ(GetPrivateProfileString("inst", "bare", "def", m_path), "");
  EXPECT_EQ(GetPrivateProfileString("inst", "; written by hand", "def", m_path), "def");
}

TEST_F(ProfileTest, IntegerTakesLeadingDecimalNumber) {
  Put("[s]\na=  42abc\nb=-7\nc=+15\nd=abc\ne=\nf=0x10\ng=4294967297\nh= - 3\n");
  EXPECT_EQ(GetPrivateProfileInt("s", "a", 1, m_path), 42);
  EXPECT_EQ(GetPrivateProfileInt("s", "b", 1, m_path), -7);
  EXPECT_EQ(GetPrivateProfileInt("s", "c", 1, m_path), 15);
  EXPECT_EQ(GetPrivateProfileInt("s", "d", 1, m_path), 0);  // present but not a number
  EXPECT_EQ(GetPrivateProfileInt("s", "e", 1, m_path), 1);  // present but empty
  EXPECT_EQ(GetPrivateProfileInt("s", "f", 1, m_path), 0);  // decimal only
  EXPECT_EQ(GetPrivateProfileInt("s", "g", 1, m_path), 1);  // wraps at 32 bits
  EXPECT_EQ(GetPrivateProfileInt("s", "h", 1, m_path), 0);
}

TEST_F(ProfileTest, WriteCreatesFileAndSection) {
  ASSERT_TRUE(WritePrivateProfileString("inst", "RESX", "800", m_path));
  EXPECT_EQ(Get(), "[inst]\nRESX=800\n");
  ASSERT_TRUE(WritePrivateProfileString("inst", "RESY", "600", m_path));
  ASSERT_TRUE(WritePrivateProfileString("second", "RESX", "1", m_path));
  EXPECT_EQ(Get(), "[inst]\nRESX=800\nRESY=600\n\n[second]\nRESX=1\n");
  EXPECT_EQ(GetPrivateProfileInt("inst", "RESY", 0, m_path), 600);
}

TEST_F(ProfileTest, WriteReplacesOnlyThatKey) {
  const std::string before =
      "; keep me\r\n[Other]\r\nRESX=1\r\n\r\n[INST]\r\nresx = 2 ; odd\r\nFRDIV=3\r\n\r\n"
      "[tail]\r\nx=y";
  Put(before);
  ASSERT_TRUE(WritePrivateProfileString("inst", "RESX", "1920", m_path));
  EXPECT_EQ(Get(),
            "; keep me\r\n[Other]\r\nRESX=1\r\n\r\n[INST]\r\nresx=1920\r\nFRDIV=3\r\n\r\n"
            "[tail]\r\nx=y");
  // A new key goes after the section's last entry and takes the file's line ends.
  ASSERT_TRUE(WritePrivateProfileString("inst", "Camera", "Cam A", m_path));
  EXPECT_EQ(Get(),
            "; keep me\r\n[Other]\r\nRESX=1\r\n\r\n[INST]\r\nresx=1920\r\nFRDIV=3\r\n"
            "Camera=Cam A\r\n\r\n[tail]\r\nx=y");
  // Appending to a last section whose last line has no line end.
  ASSERT_TRUE(WritePrivateProfileString("tail", "z", "1", m_path));
  EXPECT_TRUE(Get().ends_with("\r\n[tail]\r\nx=y\r\nz=1\r\n"));
  EXPECT_EQ(GetPrivateProfileInt("Other", "RESX", 0, m_path), 1);
}

TEST_F(ProfileTest, ByteOrderMarkIsNotPartOfTheFirstSection) {
  Put("\xEF\xBB\xBF[inst]\nRESX=800\n");
  EXPECT_EQ(GetPrivateProfileInt("inst", "RESX", 0, m_path), 800);
  ASSERT_TRUE(WritePrivateProfileString("inst", "RESX", "1", m_path));
  EXPECT_EQ(Get(), "\xEF\xBB\xBF[inst]\nRESX=1\n");
}

TEST_F(ProfileTest, EmptyPathAndUnwritableInputsWriteNothing) {
  EXPECT_EQ(GetPrivateProfileInt("inst", "RESX", 640, ""), 640);
  EXPECT_FALSE(WritePrivateProfileString("inst", "RESX", "1", ""));

  Put("[inst]\nRESX=5\n");
  EXPECT_FALSE(WritePrivateProfileString("inst", "Camera", "a\nRESX=9", m_path));
  EXPECT_FALSE(WritePrivateProfileString("inst", "a=b", "1", m_path));
  EXPECT_FALSE(WritePrivateProfileString("", "RESX", "1", m_path));
  EXPECT_FALSE(WritePrivateProfileString("inst", " ", "1", m_path));
  EXPECT_EQ(Get(), "[inst]\nRESX=5\n");

  // No folder to write into: nothing written, no error thrown.
  EXPECT_FALSE(WritePrivateProfileString("inst", "RESX", "1", (m_dir / "no/CamDrv.ini").string()));
  // The file's place is taken by a directory: it is left alone.
  EXPECT_FALSE(WritePrivateProfileString("inst", "RESX", "1", m_dir.string() + "/"));
}

// Instance names come from the host's command line: whatever they hold, each keeps a section
// of its own that reads back what was written, and the file stays readable for the others.
TEST_F(ProfileTest, AnyInstanceNameKeepsItsOwnSection) {
  Put("[plain]\nRESX=1\n");
  const std::vector<std::string> names = {
      "a]b",    "x=y",   "two\nlines", "crlf\r\nname",
      "%a%5Db", "a%5Db", "[odd]",      std::string("nul\0in", 6),
      "%"};
  for (size_t i = 0; i < names.size(); ++i) {
    ASSERT_TRUE(WritePrivateProfileString(names[i], "RESX", std::to_string(100 + i), m_path)) << i;
  }
  for (size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(GetPrivateProfileInt(names[i], "RESX", -1, m_path), static_cast<int>(100 + i)) << i;
  }
  EXPECT_EQ(GetPrivateProfileInt("plain", "RESX", -1, m_path), 1);
  EXPECT_EQ(GetPrivateProfileInt("a", "RESX", -1, m_path), -1);
  // Names a section line holds as they are stay readable by hand; the others are escaped.
  EXPECT_EQ(veldrin::ProfileSectionName("Printer 1"), "Printer 1");
  EXPECT_EQ(veldrin::ProfileSectionName("a]b"), "%a%5Db");
  EXPECT_EQ(veldrin::ProfileSectionName("%a%5Db"), "%%25a%255Db");
  const std::string text = Get();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3 * static_cast<long>(names.size()) + 2);
}

TEST_F(ProfileTest, Utf16FileIsReadAndWrittenBackInItsEncoding) {
  auto utf16 = [](const std::u16string& units, bool bigEndian, bool bom) {
    std::string bytes = bom ? (bigEndian ? "\xFE\xFF" : "\xFF\xFE") : "";
    for (const char16_t u : units) {
      const char lo = static_cast<char>(u & 0xFF), hi = static_cast<char>(u >> 8);
      bytes += bigEndian ? hi : lo;
      bytes += bigEndian ? lo : hi;
    }
    return bytes;
  };
  struct SCase {
    bool bigEndian, bom;
  };
  for (const SCase c : {SCase{false, true}, SCase{true, true}}) {
    Put(utf16(u"[inst]\r\nRESX=1280\r\nCamera=Kamera \u00DCbersicht\r\n", c.bigEndian, c.bom));
    EXPECT_EQ(GetPrivateProfileInt("inst", "RESX", 0, m_path), 1280);
    EXPECT_EQ(GetPrivateProfileString("inst", "Camera", "", m_path), "Kamera \u00DCbersicht");
    ASSERT_TRUE(WritePrivateProfileString("inst", "RESY", "720", m_path));
    ASSERT_TRUE(WritePrivateProfileString("inst", "Camera", "Größe", m_path));
    EXPECT_EQ(Get(), utf16(u"[inst]\r\nRESX=1280\r\nCamera=Gr\u00F6\u00DFe\r\nRESY=720\r\n",
                           c.bigEndian, c.bom))
        << c.bigEndian << c.bom;
  }
  // Half a code unit at the end: still read, but not rewritten with a byte lost.
  Put(utf16(u"[inst]\nRESX=5\n", false, true) + "x");
  EXPECT_EQ(GetPrivateProfileInt("inst", "RESX", 0, m_path), 5);
  EXPECT_FALSE(WritePrivateProfileString("inst", "RESX", "6", m_path));
}

TEST_F(ProfileTest, WriteLeavesNoTemporaryFilesAndKeepsPermissions) {
  Put("[inst]\nRESX=5\n");
  fs::permissions(m_path, fs::perms(0640));
  ASSERT_TRUE(WritePrivateProfileString("inst", "RESX", "6", m_path));
  EXPECT_EQ(fs::status(m_path).permissions() & fs::perms::mask, fs::perms(0640));
  EXPECT_EQ(veldrin_test::FileNames(m_dir), std::vector<std::string>{"CamDrv.ini"});
}

TEST_F(ProfileTest, ConcurrentWritersToOneFileLoseNoKey) {
  // Several instances share the file, each in its own section.
  std::vector<std::thread> writers;
  writers.reserve(4);
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([this, t] {
      for (int k = 0; k < 10; ++k) {
        EXPECT_TRUE(WritePrivateProfileString(std::string("inst").append(std::to_string(t)),
                                              std::string("k").append(std::to_string(k)),
                                              std::to_string(t * 100 + k), m_path));
      }
    });
  }
  for (auto& w : writers) w.join();
  for (int t = 0; t < 4; ++t) {
    for (int k = 0; k < 10; ++k) {
      EXPECT_EQ(GetPrivateProfileInt(std::string("inst").append(std::to_string(t)),
                                     std::string("k").append(std::to_string(k)), -1, m_path),
                t * 100 + k);
    }
  }
}

// Another process holding the folder's lock and never letting go must not hold the writer for
// ever (the tool would be ended mid-close and lose its settings): the write gives up and says so.
TEST_F(ProfileTest, ALockHeldForeverFailsTheWriteAndOneLetGoInTimeDoesNot) {
  Put("[inst]\nRESX=5\n");
  const int holder = ::open(m_dir.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX), 0);
  auto write = std::async(std::launch::async, [this] {
    return WritePrivateProfileString("inst", "RESX", "6", m_path);
  });
  const bool ended = write.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  ::flock(holder, LOCK_UN);  // lets a writer still waiting go, so the test ends
  ASSERT_TRUE(ended) << "the lock wait has no end";
  EXPECT_FALSE(write.get());
  EXPECT_EQ(Get(), "[inst]\nRESX=5\n");

  // Let go before the second wait ends: the retry gets it.
  ASSERT_EQ(::flock(holder, LOCK_EX), 0);
  write = std::async(std::launch::async,
                     [this] { return WritePrivateProfileString("inst", "RESX", "7", m_path); });
  std::this_thread::sleep_for(veldrin::kProfileLockWait + veldrin::kProfileLockWait / 2);
  ::flock(holder, LOCK_UN);
  EXPECT_TRUE(write.get());
  EXPECT_EQ(GetPrivateProfileInt("inst", "RESX", 0, m_path), 7);
  ::close(holder);
}

}  // namespace
