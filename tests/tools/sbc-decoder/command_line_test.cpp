#include "tools/sbc-decoder/command_line.h"

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

namespace orvix::sbc_decoder {
namespace {

Command parse(std::vector<std::string_view> arguments) { return parseCommandLine(arguments); }

TEST(SbcDecoderCommandLine, RefusesEverythingThatIsNotExactlyOneInputWithKnownOptions) {
  const std::vector<std::vector<std::string_view>> refused = {
      {},
      {"--input-format=vx41-v1"},                 // no input
      {"a.sbc", "b.sbc"},                         // two inputs
      {"-", "a.sbc"},                             // standard input counts as one
      {"--pickup-mode=cardioid", "a.sbc"},        // known option, unknown value
      {"--pickup-mode", "directional", "a.sbc"},  // value not attached
      {"--input-format=vx41-v2", "a.sbc"},
      {"a.sbc", "--verbose"},  // unknown option after the input
      {"--", "a.sbc"},
  };
  for (const auto& arguments : refused) {
    EXPECT_TRUE(std::holds_alternative<UsageError>(parse(arguments)))
        << "argument count " << arguments.size();
  }
}

TEST(SbcDecoderCommandLine, TakesOptionsInAnyOrderAndTheLastRepeatCounts) {
  const auto command =
      std::get<DecodeCommand>(parse({"--pickup-mode=directional", "rec.sbc",
                                     "--input-format=vx41-v1", "--pickup-mode=omnidirectional"}));
  EXPECT_TRUE(command.framed);
  EXPECT_EQ(command.pickupMode, PickupMode::kOmnidirectional);
  EXPECT_EQ(command.inputPath, "rec.sbc");
  EXPECT_FALSE(command.readsStandardInput());

  const auto directional = std::get<DecodeCommand>(parse({"-", "--pickup-mode=directional"}));
  EXPECT_FALSE(directional.framed);
  EXPECT_EQ(directional.pickupMode, PickupMode::kDirectional);
  EXPECT_TRUE(directional.readsStandardInput());
}

TEST(SbcDecoderCommandLine, DefaultsToBareOmnidirectionalAndTreatsSingleDashNamesAsPaths) {
  const auto command = std::get<DecodeCommand>(parse({"-x"}));
  EXPECT_FALSE(command.framed);
  EXPECT_EQ(command.pickupMode, PickupMode::kOmnidirectional);
  EXPECT_EQ(command.inputPath, "-x");
}

}  // namespace
}  // namespace orvix::sbc_decoder
