// The track writer: 16-bit packing, silence, levels, and a failing disk.
#include "OrvixAudioCaptureHost/pcm_writer.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <limits>
#include <vector>

#include "macos/Sources/OrvixAudioCaptureHost/track_file_support.h"

namespace orvix::capture {
namespace {

using testing::readBytes;
using testing::readTrack;
using testing::TemporaryDirectory;

TEST(PcmWriter, RoundsHalvesAwayFromZeroAndClampsToSymmetricRange) {
  EXPECT_EQ(PcmWriter::toInt16(1.5f), 32767);
  EXPECT_EQ(PcmWriter::toInt16(-1.0f), -32767);
  EXPECT_EQ(PcmWriter::toInt16(-7.0f), -32767);
  EXPECT_EQ(PcmWriter::toInt16(0.5f), 16384);    // 16383.5 rounds up
  EXPECT_EQ(PcmWriter::toInt16(-0.5f), -16384);  // and down, away from zero
  EXPECT_EQ(PcmWriter::toInt16(0.0f), 0);
  EXPECT_EQ(PcmWriter::toInt16(std::numeric_limits<float>::quiet_NaN()), 0);
  EXPECT_EQ(PcmWriter::toInt16(std::numeric_limits<float>::infinity()), 32767);
}

TEST(PcmWriter, WritesLittleEndianSamplesAndThePeakOfTheLatestWrite) {
  TemporaryDirectory directory;
  auto writer = PcmWriter::create(directory.file("track.pcm"));
  ASSERT_TRUE(writer);
  const std::vector<float> loud = {0.25f, -0.75f, 1.5f};
  writer->append(loud.data(), 3);
  EXPECT_EQ(writer->snapshot().samples, 3);
  EXPECT_DOUBLE_EQ(writer->snapshot().level, 1.0);
  const std::vector<float> quiet = {0.1f, -0.2f};
  writer->append(quiet.data(), 2);
  EXPECT_NEAR(writer->snapshot().level, 0.2, 1e-6);
  writer->append(quiet.data(), 0);  // nothing, and the level stays
  EXPECT_NEAR(writer->snapshot().level, 0.2, 1e-6);
  writer->close();
  const std::string bytes = readBytes(directory.file("track.pcm"));
  ASSERT_EQ(bytes.size(), 10u);
  EXPECT_EQ(static_cast<unsigned char>(bytes[0]), 0x00);  // 8192 = 0x2000, low byte first
  EXPECT_EQ(static_cast<unsigned char>(bytes[1]), 0x20);
  EXPECT_EQ(readTrack(directory.file("track.pcm")),
            (std::vector<std::int16_t>{8192, -24575, 32767, 3277, -6553}));
}

TEST(PcmWriter, SilenceIsZerosWithLevelZeroWhateverTheInput) {
  TemporaryDirectory directory;
  auto writer = PcmWriter::create(directory.file("track.pcm"));
  const std::vector<float> loud(100, 0.9f);
  writer->append(loud.data(), 100, /*silence=*/true);
  EXPECT_EQ(writer->snapshot().level, 0);
  writer->append(loud.data(), 1);
  writer->appendSilence(100'000);
  EXPECT_EQ(writer->snapshot().samples, 100'101);
  EXPECT_EQ(writer->snapshot().level, 0);
  writer->appendSilence(-5);
  writer->close();
  const auto samples = readTrack(directory.file("track.pcm"));
  ASSERT_EQ(samples.size(), 100'101u);
  EXPECT_EQ(readBytes(directory.file("track.pcm")).size(), 200'202u);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    if (i != 100) {
      ASSERT_EQ(samples[i], 0) << i;
    }
  }
  EXPECT_EQ(samples[100], PcmWriter::toInt16(0.9f));
}

// Long gaps must never ask for one large buffer: silence goes out in bounded pieces.
TEST(PcmWriter, SilenceGoesOutInPiecesOfAtMostSixtyFourKibibytes) {
  TemporaryDirectory directory;
  auto writer = PcmWriter::create(directory.file("track.pcm"));
  ASSERT_TRUE(writer);
  std::vector<std::size_t> pieces;
  writer->setWriteObserver([&pieces](std::size_t bytes) { pieces.push_back(bytes); });
  writer->appendSilence(100'000);
  EXPECT_EQ(pieces, (std::vector<std::size_t>{65'536, 65'536, 65'536, 3'392}));
  EXPECT_EQ(writer->sampleCount(), 100'000);
  pieces.clear();
  writer->appendSilence(32'768);  // exactly one full piece
  writer->appendSilence(32'769);  // one sample more needs a second
  EXPECT_EQ(pieces, (std::vector<std::size_t>{65'536, 65'536, 2}));
  writer->close();
  EXPECT_EQ(readBytes(directory.file("track.pcm")).size(), 331'074u);
}

TEST(PcmWriter, ExistingFileIsTruncatedAndUncreatableFileFails) {
  TemporaryDirectory directory;
  {
    auto writer = PcmWriter::create(directory.file("track.pcm"));
    writer->appendSilence(10);
  }
  auto again = PcmWriter::create(directory.file("track.pcm"));
  again->close();
  EXPECT_EQ(readBytes(directory.file("track.pcm")).size(), 0u);
  EXPECT_FALSE(PcmWriter::create(directory.file("missing/track.pcm")));
}

TEST(PcmWriter, AFullDiskStopsOnlyThatTrack) {
  TemporaryDirectory directory;
  auto full = PcmWriter::create("/dev/full");
  auto healthy = PcmWriter::create(directory.file("track.pcm"));
  ASSERT_TRUE(full);
  const std::vector<float> samples(64, 0.5f);
  full->append(samples.data(), 64);
  full->appendSilence(40'000);
  healthy->append(samples.data(), 64);
  EXPECT_TRUE(full->writeFailed());
  EXPECT_FALSE(healthy->writeFailed());
  // The count runs on, so the timeline does not keep refilling what the disk refused.
  EXPECT_EQ(full->sampleCount(), 40'064);
  healthy->close();
  EXPECT_EQ(readTrack(directory.file("track.pcm")).size(), 64u);
}

}  // namespace
}  // namespace orvix::capture
