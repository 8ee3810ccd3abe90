#include "tools/sbc-decoder/vx41_engine_loader.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

namespace orvix::sbc_decoder {
namespace {

TEST(Vx41EngineLoader, RefusesPathsLongerThanTheLimitBeforeTouchingTheFileSystem) {
  // A real directory whose configuration directory is just within the limit, so the system would
  // let it be entered, while the path of the configuration file in it is beyond the limit.
  char base[] = "/tmp/orvix-sbc-loader-XXXXXX";
  ASSERT_NE(mkdtemp(base), nullptr);
  const std::string_view configurationDirectory = "/vx41/resources/cfg";
  std::string directory = base;
  const std::size_t length = kMaximumPathLength - configurationDirectory.size();
  while (length - directory.size() > 202) directory.append("/").append(200, 'd');
  const std::size_t lastName = length - directory.size() - 1;
  directory.append("/").append(lastName, 'd');
  ASSERT_TRUE(std::filesystem::create_directories(directory + std::string(configurationDirectory)));

  const std::filesystem::path workingDirectory = std::filesystem::current_path();
  EXPECT_EQ(enterConfigurationDirectory(directory, "vsp_qtrk7_offline.ini"), std::nullopt);
  EXPECT_EQ(std::filesystem::current_path(), workingDirectory);
  std::filesystem::current_path(workingDirectory);
  EXPECT_EQ(Vx41Libraries::load(directory), nullptr);
  std::filesystem::remove_all(base);
}

TEST(Vx41EngineLoader, TheExecutableDirectoryIsThePathCutAtTheLastSlash) {
  EXPECT_EQ(directoryOf("/Applications/Orvix.app/Contents/MacOS/orvix-sbc-decoder"),
            "/Applications/Orvix.app/Contents/MacOS");
  EXPECT_EQ(directoryOf("/orvix-sbc-decoder"), "");
  EXPECT_EQ(directoryOf("orvix-sbc-decoder"), std::nullopt);
}

}  // namespace
}  // namespace orvix::sbc_decoder
