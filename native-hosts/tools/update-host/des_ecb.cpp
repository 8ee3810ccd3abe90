#include "tools/update-host/des_ecb.h"

#include <nettle/des.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstddef>

#include "common/text_length.h"

namespace orvix::update_host {

namespace {

constexpr std::size_t kBlockBytes = DES_BLOCK_SIZE;
constexpr std::size_t kKeyCharacters = 8;

des_ctx keyedContext(const DesKey& key) {
  des_ctx context;
  // A weak key is reported but still usable; the gateway decides what keys it accepts.
  (void)des_set_key(&context, key.data());
  return context;
}

std::uint8_t* bytesOf(std::string& text) { return reinterpret_cast<std::uint8_t*>(text.data()); }
const std::uint8_t* bytesOf(std::string_view text) {
  return reinterpret_cast<const std::uint8_t*>(text.data());
}

}  // namespace

std::optional<DesKey> cipherKeyFromSecret(std::string_view secret) {
  // Eight characters take eight bytes only when each is a single ASCII byte standing alone: "\r\n"
  // is one character of two bytes, and a combining mark after the eighth byte belongs to it.
  if (secret.size() < kKeyCharacters) return std::nullopt;
  for (std::size_t i = 0; i < kKeyCharacters; ++i) {
    if (static_cast<std::uint8_t>(secret[i]) > 0x7F) return std::nullopt;
  }
  std::size_t checkedBytes = kKeyCharacters;
  std::size_t expectedCharacters = kKeyCharacters;
  if (secret.size() > kKeyCharacters) {
    // Include the next code point: it must start a ninth character.
    auto offset = static_cast<std::int32_t>(kKeyCharacters);
    const auto length = static_cast<std::int32_t>(std::min<std::size_t>(secret.size(), 16));
    UChar32 codePoint = 0;
    U8_NEXT(bytesOf(secret), offset, length, codePoint);
    checkedBytes = static_cast<std::size_t>(offset);
    expectedCharacters = kKeyCharacters + 1;
  }
  const auto characters = graphemeClusterCount(secret.substr(0, checkedBytes));
  if (!characters || *characters != expectedCharacters) return std::nullopt;
  DesKey key;
  std::copy_n(bytesOf(secret), kKeyCharacters, key.begin());
  return key;
}

std::string desEcbEncrypt(std::string_view plain, const DesKey& key) {
  const std::size_t padding = kBlockBytes - plain.size() % kBlockBytes;
  std::string padded(plain);
  padded.append(padding, static_cast<char>(padding));
  std::string enciphered(padded.size(), '\0');
  des_ctx context = keyedContext(key);
  des_encrypt(&context, padded.size(), bytesOf(enciphered), bytesOf(padded));
  return enciphered;
}

std::optional<std::string> desEcbDecrypt(std::string_view enciphered, const DesKey& key) {
  if (enciphered.empty() || enciphered.size() % kBlockBytes != 0) return std::nullopt;
  std::string plain(enciphered.size(), '\0');
  des_ctx context = keyedContext(key);
  des_decrypt(&context, enciphered.size(), bytesOf(plain), bytesOf(enciphered));
  const auto padding = static_cast<std::uint8_t>(plain.back());
  if (padding == 0 || padding > kBlockBytes) return std::nullopt;
  for (std::size_t i = plain.size() - padding; i < plain.size(); ++i) {
    if (static_cast<std::uint8_t>(plain[i]) != padding) return std::nullopt;
  }
  // erase, not resize: at -O3 GCC 12 takes resize's inlined copy for an overlapping one.
  plain.erase(plain.size() - padding);
  return plain;
}

}  // namespace orvix::update_host
