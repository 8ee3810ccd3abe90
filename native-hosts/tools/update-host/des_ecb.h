#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orvix::update_host {

using DesKey = std::array<std::uint8_t, 8>;

// The body cipher key is the first eight characters of the gateway secret, which must take
// exactly eight bytes in UTF-8. Absent otherwise (a short secret, or one whose first characters
// are multi-byte), because DES cannot be keyed with anything else.
std::optional<DesKey> cipherKeyFromSecret(std::string_view secret);

// DES in ECB mode with PKCS#7 padding and no initialisation vector: the gateway's body cipher.
// Enciphering always succeeds. Deciphering is absent unless the input is a non-empty multiple of
// eight bytes that ends in well-formed padding.
std::string desEcbEncrypt(std::string_view plain, const DesKey& key);
std::optional<std::string> desEcbDecrypt(std::string_view enciphered, const DesKey& key);

}  // namespace orvix::update_host
