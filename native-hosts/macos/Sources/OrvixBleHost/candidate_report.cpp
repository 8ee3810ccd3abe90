#include "OrvixBleHost/candidate_report.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <memory>

#include "OrvixBleHost/ble_host_constants.h"
#include "common/utf8_repair.h"

namespace orvix::ble_host {

namespace {

constexpr int kLowestRssi = -127;
constexpr int kHighestRssi = 20;

// The first `maximum` extended grapheme clusters of `text`.
std::string firstCharacters(const std::string& text, std::size_t maximum) {
  if (text.size() <= maximum) return text;  // each character takes at least one byte
  const icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(text);
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> iterator(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status)) return text;
  iterator->setText(unicode);
  std::int32_t end = iterator->first();
  for (std::size_t count = 0; count < maximum; ++count) {
    const std::int32_t next = iterator->next();
    if (next == icu::BreakIterator::DONE) return text;
    end = next;
  }
  std::string cut;
  unicode.tempSubString(0, end).toUTF8String(cut);
  return cut;
}

}  // namespace

std::optional<std::string> normalizedName(const std::optional<std::string>& name) {
  if (!name) return std::nullopt;
  // Names come from the radio: ill-formed bytes are replaced here, or the event would not
  // serialise and the device would be lost.
  const std::string text = repairUtf8(*name);
  std::string joined;
  bool pendingSpace = false;
  std::int32_t offset = 0;
  const auto length = static_cast<std::int32_t>(std::min<std::size_t>(text.size(), INT32_MAX));
  while (offset < length) {
    const std::int32_t start = offset;
    UChar32 c = 0;
    U8_NEXT(text.data(), offset, length, c);
    if (c >= 0 && u_isUWhiteSpace(c)) {
      pendingSpace = !joined.empty();
      continue;
    }
    if (pendingSpace) joined.push_back(' ');
    pendingSpace = false;
    joined.append(text, static_cast<std::size_t>(start), static_cast<std::size_t>(offset - start));
  }
  if (joined.empty()) return std::nullopt;
  return firstCharacters(joined, maximumIdentifierCharacters);
}

bool hasOrvixNameHint(const std::optional<std::string>& name) {
  if (!name) return false;
  icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(*name);
  unicode.toLower(icu::Locale::getRoot());
  std::string lower;
  unicode.toUTF8String(lower);
  return lower.find("orvix") != std::string::npos || lower.starts_with("k7");
}

bool advertisedServiceHint(const platform::AdvertisementData& advertisement) {
  const auto lists = {&advertisement.serviceUuids, &advertisement.overflowServiceUuids};
  return std::any_of(lists.begin(), lists.end(), [](const auto* list) {
    return list->has_value() &&
           std::find((*list)->begin(), (*list)->end(), serviceUUID) != (*list)->end();
  });
}

int clampedRssi(int rssi) { return std::clamp(rssi, kLowestRssi, kHighestRssi); }

int rssiBucket(int clamped) {
  int quotient = clamped / 5;
  const int remainder = clamped % 5;  // takes the sign of `clamped`
  if (remainder >= 3) ++quotient;
  if (remainder <= -3) --quotient;
  return quotient * 5;
}

std::string advertisementSignature(const std::optional<std::string>& name, int bucket,
                                   bool serviceHint) {
  return name.value_or("") + "|" + std::to_string(bucket) + "|" + (serviceHint ? "true" : "false");
}

std::string recoveredSignature(const std::optional<std::string>& name) {
  return "recovered|" + name.value_or("");
}

}  // namespace orvix::ble_host
