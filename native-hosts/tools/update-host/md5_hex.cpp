#include "tools/update-host/md5_hex.h"

#include <nettle/md5.h>

#include <array>
#include <cstdint>

namespace orvix::update_host {

std::string md5Hex(std::string_view data) {
  md5_ctx context;
  md5_init(&context);
  md5_update(&context, data.size(), reinterpret_cast<const std::uint8_t*>(data.data()));
  std::array<std::uint8_t, MD5_DIGEST_SIZE> digest;
  md5_digest(&context, digest.size(), digest.data());
  static constexpr char kHexDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(digest.size() * 2);
  for (const std::uint8_t byte : digest) {
    hex.push_back(kHexDigits[byte >> 4]);
    hex.push_back(kHexDigits[byte & 0x0F]);
  }
  return hex;
}

}  // namespace orvix::update_host
