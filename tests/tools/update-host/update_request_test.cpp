// Request validation and the version rules.
#include <gtest/gtest.h>

#include <vector>

#include "tools/update-host/update_request.h"
#include "tools/update-host/version_rules.h"

namespace orvix::update_host {
namespace {

Json desktopRequest() {
  return Json{{"kind", "desktop"},
              {"currentVersion", "1.2.3"},
              {"clientVersion", "1.2.3"},
              {"identity", "device-42"}};
}

TEST(RequestValidation, AcceptsExactlyFourStringKeysWithinTheirRules) {
  const auto request = validateRequest(desktopRequest());
  ASSERT_TRUE(request);
  EXPECT_EQ(request->kind, UpdateKind::desktop);
  EXPECT_EQ(request->identity, "device-42");

  Json firmware = desktopRequest();
  firmware["kind"] = "firmware";
  firmware["currentVersion"] = "";  // empty versions pass here; the version rules judge them
  EXPECT_EQ(validateRequest(firmware)->kind, UpdateKind::firmware);

  const auto refused = [](auto change) {
    Json changed = desktopRequest();
    change(changed);
    return !validateRequest(changed).has_value();
  };
  EXPECT_TRUE(refused([](Json& r) { r["extra"] = "x"; }));
  EXPECT_TRUE(refused([](Json& r) { r.erase("clientVersion"); }));
  EXPECT_TRUE(refused([](Json& r) { r["currentVersion"] = 123; }));
  EXPECT_TRUE(refused([](Json& r) { r["identity"] = nullptr; }));
  EXPECT_TRUE(refused([](Json& r) { r["kind"] = "Desktop"; }));
  EXPECT_TRUE(refused([](Json& r) { r["kind"] = "firmware:darwin:x64"; }));
  EXPECT_FALSE(validateRequest(Json::array()).has_value());
}

TEST(RequestValidation, VersionsAreAtMost64Characters) {
  Json request = desktopRequest();
  request["clientVersion"] = std::string(64, '9');
  EXPECT_TRUE(validateRequest(request));
  // 64 characters of two bytes each are still 64 characters.
  std::string accented;
  for (int i = 0; i < 64; ++i) accented += "\xc3\xa9";
  request["clientVersion"] = accented;
  EXPECT_TRUE(validateRequest(request));
  request["clientVersion"] = std::string(65, '9');
  EXPECT_FALSE(validateRequest(request));
}

TEST(RequestValidation, IdentityIsOneTo256BytesWithoutSpaceOrControl) {
  const auto accepts = [](const std::string& identity) {
    Json request = desktopRequest();
    request["identity"] = identity;
    return validateRequest(request).has_value();
  };
  EXPECT_TRUE(accepts(std::string(256, 'a')));
  EXPECT_TRUE(accepts("\xe8\xae\xbe\xe5\xa4\x87-7"));  // non-ASCII letters are fine
  EXPECT_FALSE(accepts(std::string(257, 'a')));
  // The bound is in bytes, not characters.
  EXPECT_TRUE(accepts(std::string(254, 'a') + "\xc3\xa9"));
  EXPECT_FALSE(accepts(std::string(255, 'a') + "\xc3\xa9"));
  EXPECT_FALSE(accepts(""));
  for (const std::string& bad : std::vector<std::string>{"a b", "a\tb", "a\nb", "a\rb",
                                                         std::string("a\0b", 3), "a\x7f", "a\x1b",
                                                         "a\xc2\xa0"
                                                         "b" /* no-break space */,
                                                         "a\xe3\x80\x80"
                                                         "b" /* ideographic space */,
                                                         "a\xe2\x80\xa8"
                                                         "b" /* line separator */}) {
    EXPECT_FALSE(accepts(bad)) << bad;
  }
}

TEST(VersionRules, DesktopVersionBecomesOneNumber) {
  EXPECT_EQ(desktopClientVersion("1.2.3"), "10203");
  EXPECT_EQ(desktopClientVersion("2.3.4"), "20304");
  EXPECT_EQ(desktopClientVersion("0.0.0"), "0");
  EXPECT_EQ(desktopClientVersion("1.2.05"), "10205");  // the patch may keep a leading zero
  EXPECT_EQ(desktopClientVersion("65535.99.99"), "655359999");
  for (const char* bad :
       {"1.02.3", "01.2.3", "1.2.300", "1.2", "1.2.3.4", "65536.0.0", "1.100.0", "1.2.", ".1.2",
        "1..2", "1.2.3\n", " 1.2.3", "v1.2.3", "1.2.-3", "99999999999999999999999.0.0", ""}) {
    EXPECT_EQ(desktopClientVersion(bad), std::nullopt) << bad;
  }
}

TEST(VersionRules, FirmwareVersions) {
  EXPECT_EQ(firmwareClientVersion("1"), "1");
  EXPECT_EQ(firmwareClientVersion("01.2.3.4"), "01.2.3.4");
  for (const char* bad : {"1.2.3.4.5", "", "1.", ".1", "1..2", "1.2a", "1.2.3\n", "\xd9\xa1"}) {
    EXPECT_EQ(firmwareClientVersion(bad), std::nullopt) << bad;
  }
  EXPECT_EQ(firmwareRomVersion("1.2.3"), "123");
  EXPECT_EQ(firmwareRomVersion("V1.0_b7"), "107");
  EXPECT_EQ(firmwareRomVersion("\xd9\xa1\xd9\xa2-9"), "9");  // Arabic-Indic digits are not ASCII
  EXPECT_EQ(firmwareRomVersion("beta"), std::nullopt);
  EXPECT_EQ(firmwareRomVersion(""), std::nullopt);
}

}  // namespace
}  // namespace orvix::update_host
