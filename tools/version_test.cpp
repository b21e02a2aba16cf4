// Every program answers --version with its name and the build's one version.

#include "platform/version.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "testing/child_process.h"
#include "testing/scratch_dir.h"

namespace {

TEST(Version, EveryProgramPrintsTheOneVersionWithoutADisplay) {
  const std::string version = veldrin::VersionText();
  // Debian orders versions by it: digits and dots, then the commit count before the hash.
  EXPECT_TRUE(std::regex_match(version, std::regex(R"(\d+\.\d+\.\d+(\+git\d+\.[0-9a-f]{7,})?)")))
      << version;
  const veldrin_test::CScratchDir output("version");
  for (const std::string name :
       {"veldrin", "veldrin-host", "veldrin-probe", "veldrin-calib", "veldrin-demo"}) {
    // With no display a program that started its windows first would abort.
    const veldrin_test::SRunResult r =
        veldrin_test::RunProgram({std::string(VELDRIN_BIN_DIR) + "/" + name, "--version"},
                                 output.Path(), {"DISPLAY=", "QT_QPA_PLATFORM=xcb"});
    EXPECT_EQ(r.code, 0) << name << ": " << r.err;
    EXPECT_EQ(r.out, name + " " + version + "\n");
    EXPECT_EQ(r.err, "") << name;
  }
}

}  // namespace
