#pragma once
// Base64 (standard alphabet, "=" padding) for the binary settings chunks kept
// in scene documents.
#include <cstdint>
#include <string>
#include <vector>

namespace ketrel::host {

std::string EncodeBase64(const std::vector<uint8_t>& data);
// Strict: refuses (false) a length that is not a multiple of 4, characters
// outside the alphabet and padding anywhere but at the end.
bool DecodeBase64(const std::string& text, std::vector<uint8_t>& out);

}  // namespace ketrel::host
