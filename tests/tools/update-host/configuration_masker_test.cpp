// The build tool that masks the configuration into the program: it stops the build, naming what
// is missing, when the program built from the file could only answer CHANNEL_CONFIGURATION.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "common/json_wire.h"
#include "support/child_process.h"
#include "support/file_text.h"

namespace orvix::update_host {
namespace {

Json testConfiguration() { return Json::parse(orvix::testing::readFile(ORVIX_UPDATE_TEST_CONFIG)); }

TEST(ConfigurationMaskerTest, RefusesAConfigurationThatLacksASettingTheProgramNeeds) {
  const std::vector<std::pair<std::function<void(Json&)>, std::string>> cases = {
      {[](Json&) {}, ""},
      {[](Json& c) { c.erase("gatewaySecret"); }, "\"gatewaySecret\""},
      {[](Json& c) { c.erase("allowInsecureHttp"); }, "\"allowInsecureHttp\""},
      {[](Json& c) { c["profiles"].erase("desktop:darwin:x64"); }, "\"desktop:darwin:x64\""},
      {[](Json& c) { c["profiles"]["firmware:darwin:x64"].erase("packageName"); },
       "\"packageName\""},
      {[](Json& c) { c["gatewaySecret"] = "short"; }, "\"gatewaySecret\""},
  };
  const std::filesystem::path directory =
      std::filesystem::path(::testing::TempDir()) / ("orvix-masker-" + std::to_string(::getpid()));
  std::filesystem::create_directories(directory);
  const auto input = directory / "configuration.json";
  const auto output = directory / "masked.cpp";
  for (const auto& [breakage, named] : cases) {
    Json configuration = testConfiguration();
    breakage(configuration);
    std::ofstream(input, std::ios::binary | std::ios::trunc) << configuration.dump();
    std::filesystem::remove(output);
    orvix::testing::ChildOptions options;
    options.arguments = {input.string(), output.string()};
    const auto run = orvix::testing::runChild(ORVIX_UPDATE_CONFIG_MASKER, options);
    if (named.empty()) {  // the whole configuration is accepted
      EXPECT_EQ(run.exitStatus, 0) << run.standardError;
      EXPECT_TRUE(std::filesystem::exists(output));
      continue;
    }
    EXPECT_NE(run.exitStatus, 0) << named;
    EXPECT_NE(run.standardError.find(named), std::string::npos) << run.standardError;
    EXPECT_FALSE(std::filesystem::exists(output)) << named;
  }
  std::filesystem::remove_all(directory);
}

}  // namespace
}  // namespace orvix::update_host
