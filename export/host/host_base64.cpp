#include "export/host/host_base64.h"

namespace ketrel::host {
namespace {

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::string EncodeBase64(const std::vector<uint8_t>& data) {
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  for (size_t i = 0; i < data.size(); i += 3) {
    uint32_t v = uint32_t(data[i]) << 16;
    if (i + 1 < data.size()) v |= uint32_t(data[i + 1]) << 8;
    if (i + 2 < data.size()) v |= data[i + 2];
    out += kBase64[(v >> 18) & 63];
    out += kBase64[(v >> 12) & 63];
    out += i + 1 < data.size() ? kBase64[(v >> 6) & 63] : '=';
    out += i + 2 < data.size() ? kBase64[v & 63] : '=';
  }
  return out;
}

// Strict: a length that is a multiple of 4, padding only at the very end.
bool DecodeBase64(const std::string& text, std::vector<uint8_t>& out) {
  out.clear();
  if (text.size() % 4 != 0) return false;
  for (size_t i = 0; i < text.size(); i += 4) {
    bool last = i + 4 == text.size();
    int v[4];
    int padding = 0;
    for (int k = 0; k < 4; ++k) {
      char c = text[i + k];
      if (c == '=' && last && k >= 2) {
        v[k] = 0;
        ++padding;
      } else {
        if (padding) return false;  // data after padding
        v[k] = Base64Value(c);
        if (v[k] < 0) return false;
      }
    }
    uint32_t bits = uint32_t(v[0]) << 18 | uint32_t(v[1]) << 12 | uint32_t(v[2]) << 6 | v[3];
    out.push_back(uint8_t(bits >> 16));
    if (padding < 2) out.push_back(uint8_t(bits >> 8));
    if (padding < 1) out.push_back(uint8_t(bits));
  }
  return true;
}

}  // namespace ketrel::host
