// Standard Base64 (RFC 4648 alphabet, with padding), as the platform's data type writes and
// reads it: decoding accepts only padded text of the standard alphabet, without whitespace.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::encoding {

std::string base64Encode(const std::vector<std::uint8_t>& data);
std::optional<std::vector<std::uint8_t>> base64Decode(std::string_view text);

}  // namespace platform::encoding
