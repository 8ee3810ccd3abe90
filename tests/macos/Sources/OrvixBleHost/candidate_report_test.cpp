// How devices are described: names, hints and signal buckets.
#include <gtest/gtest.h>

#include "OrvixBleHost/ble_host_constants.h"
#include "OrvixBleHost/candidate_report.h"

namespace orvix::ble_host {
namespace {

TEST(NormalizedName, CollapsesUnicodeWhiteSpaceAndTrims) {
  EXPECT_EQ(normalizedName("  Orvix   K7\t Pro\n"), "Orvix K7 Pro");
  EXPECT_EQ(normalizedName("A\u00A0B\u2003C\u2028D\u3000E\r\nF"), "A B C D E F");
  EXPECT_EQ(normalizedName(" \t\n\u3000"), std::nullopt);
  EXPECT_EQ(normalizedName(""), std::nullopt);
  EXPECT_EQ(normalizedName(std::nullopt), std::nullopt);
  // Not white space: a zero-width joiner stays inside its emoji.
  EXPECT_EQ(normalizedName("\U0001F468\u200D\U0001F469"), "\U0001F468\u200D\U0001F469");
}

TEST(NormalizedName, IllFormedBytesFromTheRadioAreReplaced) {
  EXPECT_EQ(normalizedName(std::string("Orvix\xFF K7\xE2\x82")), "Orvix\uFFFD K7\uFFFD");
}

TEST(NormalizedName, KeepsTheFirst128UserPerceivedCharacters) {
  std::string flags;
  for (int i = 0; i < 130; ++i) flags += "\U0001F1EB\U0001F1F7";
  std::string expected;
  for (int i = 0; i < 128; ++i) expected += "\U0001F1EB\U0001F1F7";
  EXPECT_EQ(normalizedName(flags), expected);
  // Combining marks stay with their letter at the cut.
  std::string accented;
  for (int i = 0; i < 129; ++i) accented += "e\u0301";
  EXPECT_EQ(normalizedName(accented)->size(), 128u * 3u);
  EXPECT_EQ(normalizedName(std::string(128, 'x')), std::string(128, 'x'));
}

TEST(OrvixNameHint, ProductWordAnywhereOrModelPrefix) {
  for (const char* name : {"Orvix", "my ORVIX recorder", "xxorvixyy", "K7", "k7 mini", "K7-0042"}) {
    EXPECT_TRUE(hasOrvixNameHint(std::string(name))) << name;
  }
  for (const char* name : {"Speaker", "ork7", "Orvi x", " K7", "Recorder K7"}) {
    EXPECT_FALSE(hasOrvixNameHint(std::string(name))) << name;
  }
  EXPECT_FALSE(hasOrvixNameHint(std::nullopt));
}

TEST(ServiceHint, EitherServiceListCounts) {
  platform::AdvertisementData data;
  EXPECT_FALSE(advertisedServiceHint(data));
  const Uuid other = *parseUuid("0000110b-0000-1000-8000-00805f9b34fb");
  data.serviceUuids = std::vector<Uuid>{other};
  EXPECT_FALSE(advertisedServiceHint(data));
  data.overflowServiceUuids = std::vector<Uuid>{other, serviceUUID};
  EXPECT_TRUE(advertisedServiceHint(data));
  data.overflowServiceUuids.reset();
  data.serviceUuids->push_back(serviceUUID);
  EXPECT_TRUE(advertisedServiceHint(data));
}

TEST(Rssi, ClampAndBucket) {
  EXPECT_EQ(clampedRssi(127), 20);
  EXPECT_EQ(clampedRssi(-130), -127);
  EXPECT_EQ(clampedRssi(-63), -63);
  const std::pair<int, int> buckets[] = {{-62, -60}, {-63, -65}, {-2, 0},      {-3, -5},   {2, 0},
                                         {3, 5},     {20, 20},   {-127, -125}, {-58, -60}, {0, 0}};
  for (auto [value, bucket] : buckets) EXPECT_EQ(rssiBucket(value), bucket) << value;
}

TEST(Signatures, MatchTheDocumentedForms) {
  EXPECT_EQ(advertisementSignature("Demo", rssiBucket(-63), true), "Demo|-65|true");
  EXPECT_EQ(advertisementSignature(std::nullopt, 0, false), "|0|false");
  EXPECT_EQ(recoveredSignature("Orvix K7"), "recovered|Orvix K7");
  EXPECT_EQ(recoveredSignature(std::nullopt), "recovered|");
}

}  // namespace
}  // namespace orvix::ble_host
