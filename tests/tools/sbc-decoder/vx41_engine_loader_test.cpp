#include "tools/sbc-decoder/vx41_engine_loader.h"

#include <gtest/gtest.h>

#include <string>

namespace orvix::sbc_decoder {
namespace {

TEST(Vx41EngineLoader, RefusesPathsLongerThanTheLimitBeforeTouchingTheFileSystem) {
  // Short enough itself, too long once the library or configuration name is added.
  const std::string directory = "/" + std::string(kMaximumPathLength - 20, 'd');
  EXPECT_EQ(Vx41Libraries::load(directory), nullptr);
  EXPECT_EQ(enterConfigurationDirectory(directory, "vsp_qtrk7_offline.ini"), std::nullopt);
}

TEST(Vx41EngineLoader, TheExecutableDirectoryIsThePathCutAtTheLastSlash) {
  EXPECT_EQ(directoryOf("/Applications/Orvix.app/Contents/MacOS/orvix-sbc-decoder"),
            "/Applications/Orvix.app/Contents/MacOS");
  EXPECT_EQ(directoryOf("/orvix-sbc-decoder"), "");
  EXPECT_EQ(directoryOf("orvix-sbc-decoder"), std::nullopt);
}

}  // namespace
}  // namespace orvix::sbc_decoder
