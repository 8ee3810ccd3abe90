// The primitives of the body encoding: MD5, DES-ECB with PKCS#7, the cipher key rule and gzip.
#include <gtest/gtest.h>
#include <zlib.h>

#include "tools/update-host/des_ecb.h"
#include "tools/update-host/gzip_codec.h"
#include "tools/update-host/md5_hex.h"

namespace orvix::update_host {
namespace {

constexpr std::size_t kLimit = 1 << 20;

std::string fromHex(const std::string& hex) {
  std::string bytes;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

TEST(Md5Hex, MatchesTheReferenceVectors) {
  EXPECT_EQ(md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(md5Hex(std::string("\0\xff", 2)), "d07d34efac6328007ad67c7e0a985e00");
}

TEST(DesEcb, MatchesTheClassicVectorAndPadsAWholeBlock) {
  DesKey key;
  const std::string keyBytes = fromHex("133457799bbcdff1");
  std::copy(keyBytes.begin(), keyBytes.end(), key.begin());
  const std::string enciphered = desEcbEncrypt(fromHex("0123456789abcdef"), key);
  ASSERT_EQ(enciphered.size(), 16u);  // a full block of padding follows a full block of data
  EXPECT_EQ(enciphered.substr(0, 8), fromHex("85e813540f0ab405"));
  EXPECT_EQ(desEcbDecrypt(enciphered, key), fromHex("0123456789abcdef"));
}

TEST(DesEcb, RefusesWhatIsNotWellPaddedCiphertext) {
  const DesKey key = *cipherKeyFromSecret("Kx7Lp2Qm");
  for (const std::string_view plain : {"", "a", "1234567", "12345678", "123456789"}) {
    const std::string enciphered = desEcbEncrypt(plain, key);
    EXPECT_EQ(enciphered.size(), (plain.size() / 8 + 1) * 8);
    EXPECT_EQ(desEcbDecrypt(enciphered, key), plain);
  }
  EXPECT_EQ(desEcbDecrypt("", key), std::nullopt);
  EXPECT_EQ(desEcbDecrypt("1234567", key), std::nullopt);
  // Blocks whose plain text ends in padding bytes 0, 9 and an inconsistent run.
  for (const std::string& plainBlock : {std::string("1234567\0", 8), std::string("1234567\x09", 8),
                                        std::string("12345\x03\x02\x03", 8)}) {
    const std::string enciphered = desEcbEncrypt(plainBlock, key).substr(0, 8);
    EXPECT_EQ(desEcbDecrypt(enciphered, key), std::nullopt);
  }
  const DesKey other = *cipherKeyFromSecret("otherkey");
  EXPECT_NE(desEcbDecrypt(desEcbEncrypt("secret text", key), other), "secret text");
}

TEST(CipherKey, IsEightCharactersThatTakeEightBytes) {
  EXPECT_TRUE(cipherKeyFromSecret("Kx7Lp2Qm-test-gateway-secret"));
  EXPECT_TRUE(cipherKeyFromSecret("abcdefgh"));
  EXPECT_TRUE(cipherKeyFromSecret("abcdefgh\xc3\xa9"));      // é is a ninth character of its own
  EXPECT_TRUE(cipherKeyFromSecret(std::string(8, '\x01')));  // weak keys are the gateway's call
  EXPECT_FALSE(cipherKeyFromSecret(""));
  EXPECT_FALSE(cipherKeyFromSecret("abcdefg"));
  EXPECT_FALSE(
      cipherKeyFromSecret("abc\xc3\xa9"
                          "efgh-long"));                  // é takes two bytes
  EXPECT_FALSE(cipherKeyFromSecret("abcdefgh\xcc\x81"));  // combining accent joins the h
  EXPECT_FALSE(cipherKeyFromSecret("abc\r\ndefgh"));      // CR LF is one character
}

TEST(Gzip, RoundTripsWithTheGzipWrapper) {
  const std::string text = R"({"base":{"clientVer":"10203"},"param":{}})";
  const auto compressed = gzipCompress(text, kLimit);
  ASSERT_TRUE(compressed);
  EXPECT_EQ(compressed->substr(0, 3), "\x1f\x8b\x08");
  EXPECT_EQ(gzipDecompress(*compressed, kLimit), text);
  EXPECT_EQ(gzipCompress("", kLimit).has_value(), true);
  EXPECT_EQ(gzipDecompress(*gzipCompress("", kLimit), kLimit), "");
}

TEST(Gzip, StopsAtTheOutputLimitInsteadOfGrowing) {
  const std::string oneMebibyte(kLimit, '0');
  const auto compressed = gzipCompress(oneMebibyte, kLimit);
  ASSERT_TRUE(compressed);
  EXPECT_LT(compressed->size(), 4096u);
  EXPECT_EQ(gzipDecompress(*compressed, kLimit)->size(), kLimit);  // exactly the limit is fine
  EXPECT_EQ(gzipDecompress(*gzipCompress(oneMebibyte + "0", kLimit), kLimit), std::nullopt);
  EXPECT_EQ(gzipDecompress(*compressed, 1000), std::nullopt);
}

TEST(Gzip, RefusesOtherWrappersTruncationAndGarbage) {
  const std::string text(5000, 'x');
  // The zlib wrapper around the same deflate data.
  uLongf size = compressBound(text.size());
  std::string zlibWrapped(size, '\0');
  compress(reinterpret_cast<Bytef*>(zlibWrapped.data()), &size,
           reinterpret_cast<const Bytef*>(text.data()), text.size());
  zlibWrapped.resize(size);
  EXPECT_EQ(gzipDecompress(zlibWrapped, kLimit), std::nullopt);

  const auto compressed = *gzipCompress(text, kLimit);
  for (std::size_t cut :
       {std::size_t{0}, std::size_t{5}, compressed.size() / 2, compressed.size() - 1}) {
    EXPECT_EQ(gzipDecompress(compressed.substr(0, cut), kLimit), std::nullopt) << cut;
  }
  EXPECT_EQ(gzipDecompress("not compressed at all", kLimit), std::nullopt);
}

}  // namespace
}  // namespace orvix::update_host
