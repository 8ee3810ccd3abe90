#pragma once

#include <string>
#include <string_view>

namespace orvix::update_host {

// MD5 (RFC 1321) of the bytes as 32 lower-case hexadecimal digits: the form the gateway expects
// for both Content-MD5 and the request signature.
std::string md5Hex(std::string_view data);

}  // namespace orvix::update_host
