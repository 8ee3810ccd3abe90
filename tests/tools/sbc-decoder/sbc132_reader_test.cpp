#include "tools/sbc-decoder/sbc132_reader.h"

#include <gtest/gtest.h>

#include <vector>

#include "tools/sbc-decoder/memory_streams.h"

namespace orvix::sbc_decoder {
namespace {

using testing::ScriptedInputStream;

std::vector<std::byte> record(std::uint8_t version, std::uint8_t mode, std::uint8_t reserved2,
                              std::uint8_t reserved3, std::uint8_t fill) {
  std::vector<std::byte> bytes(132, std::byte{fill});
  bytes[0] = std::byte{version};
  bytes[1] = std::byte{mode};
  bytes[2] = std::byte{reserved2};
  bytes[3] = std::byte{reserved3};
  return bytes;
}

std::vector<std::byte> concat(std::initializer_list<std::vector<std::byte>> parts) {
  std::vector<std::byte> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

TEST(Sbc132Reader, ReassemblesRecordsFromShortReadsAndEndsCleanlyBetweenThem) {
  ScriptedInputStream input(concat({record(1, 0, 0, 0, 0xAA), record(1, 2, 0, 0, 0xBB)}), 3);
  Sbc132Reader reader(input, true, PickupMode::kOmnidirectional);
  Sbc132Record got;

  ASSERT_EQ(reader.read(got), ReadOutcome::kRecord);
  EXPECT_EQ(got.pickupMode, PickupMode::kOmnidirectional);
  EXPECT_EQ(got.frame.front(), std::byte{0xAA});
  EXPECT_EQ(got.frame.back(), std::byte{0xAA});
  ASSERT_EQ(reader.read(got), ReadOutcome::kRecord);
  EXPECT_EQ(got.pickupMode, PickupMode::kDirectional);
  EXPECT_EQ(got.frame.back(), std::byte{0xBB});
  EXPECT_EQ(reader.read(got), ReadOutcome::kEndOfInput);
}

TEST(Sbc132Reader, RefusesHeadersThatBreakARule) {
  for (const auto& bad :
       {record(2, 0, 0, 0, 0), record(0, 0, 0, 0, 0), record(1, 1, 0, 0, 0), record(1, 3, 0, 0, 0),
        record(1, 0xFF, 0, 0, 0), record(1, 0, 1, 0, 0), record(1, 2, 0, 0x80, 0)}) {
    ScriptedInputStream input(bad);
    Sbc132Reader reader(input, true, PickupMode::kOmnidirectional);
    Sbc132Record got;
    EXPECT_EQ(reader.read(got), ReadOutcome::kInvalid)
        << int(bad[0]) << " " << int(bad[1]) << " " << int(bad[2]) << " " << int(bad[3]);
  }
}

TEST(Sbc132Reader, TreatsEveryTruncationAsInvalidNotAsTheEnd) {
  const std::vector<std::byte> whole = record(1, 0, 0, 0, 0x11);
  for (const std::size_t size : {1u, 3u, 4u, 5u, 131u}) {
    ScriptedInputStream input(std::vector<std::byte>(whole.begin(), whole.begin() + size));
    Sbc132Reader reader(input, true, PickupMode::kOmnidirectional);
    Sbc132Record got;
    EXPECT_EQ(reader.read(got), ReadOutcome::kInvalid) << size << " bytes";
  }
  ScriptedInputStream bare(std::vector<std::byte>(127, std::byte{0}));
  Sbc132Reader bareReader(bare, false, PickupMode::kOmnidirectional);
  Sbc132Record got;
  EXPECT_EQ(bareReader.read(got), ReadOutcome::kInvalid);
}

TEST(Sbc132Reader, AReadThatFailsWithNothingIsInvalidButAFailureAtTheEndIsTheEnd) {
  ScriptedInputStream failing({});
  failing.failWhenDrained();
  Sbc132Reader reader(failing, true, PickupMode::kOmnidirectional);
  Sbc132Record got;
  EXPECT_EQ(reader.read(got), ReadOutcome::kInvalid);

  // Both indicators set: the reader reports the end; the caller looks at the error indicator.
  ScriptedInputStream ended({});
  ended.errorAlreadySet();
  Sbc132Reader endReader(ended, true, PickupMode::kOmnidirectional);
  EXPECT_EQ(endReader.read(got), ReadOutcome::kEndOfInput);
}

TEST(Sbc132Reader, BareFramesCarryTheCommandLineModeAndAreNotCheckedForHeaders) {
  std::vector<std::byte> frames(256, std::byte{0x07});
  frames[0] = std::byte{9};  // would be a bad version if it were a header
  ScriptedInputStream input(frames, 100);
  Sbc132Reader reader(input, false, PickupMode::kDirectional);
  Sbc132Record got;
  ASSERT_EQ(reader.read(got), ReadOutcome::kRecord);
  EXPECT_EQ(got.pickupMode, PickupMode::kDirectional);
  EXPECT_EQ(got.frame[0], std::byte{9});
  ASSERT_EQ(reader.read(got), ReadOutcome::kRecord);
  EXPECT_EQ(reader.read(got), ReadOutcome::kEndOfInput);
}

}  // namespace
}  // namespace orvix::sbc_decoder
