#include "update/base64.h"

#include <openssl/evp.h>

#include <array>

namespace tessel::Base64 {
namespace {

constexpr std::string_view alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Each character's six bits, or -1 for a character outside the alphabet.
constexpr std::array<int, 256> sextets = [] {
  std::array<int, 256> table{};
  table.fill(-1);
  for (size_t i = 0; i < alphabet.size(); ++i) {
    table[static_cast<unsigned char>(alphabet[i])] = static_cast<int>(i);
  }
  return table;
}();

int sextet(char c) { return sextets[static_cast<unsigned char>(c)]; }

}  // namespace

std::string encode(std::string_view bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3), '\0');
  const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                      reinterpret_cast<const unsigned char*>(bytes.data()),
                                      static_cast<int>(bytes.size()));
  text.resize(static_cast<size_t>(written));
  return text;
}

std::optional<std::string> decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  size_t padding = 0;
  while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') {
    ++padding;
  }
  const std::string_view body = text.substr(0, text.size() - padding);
  for (char c : body) {
    if (sextet(c) < 0) return std::nullopt;
  }
  // The last character before the padding carries 4 (one "=") or 2 (two) bits that
  // belong to no byte; an encoder writes them as zeros.
  if (padding > 0) {
    const int unused = padding == 1 ? 0x03 : 0x0F;
    if ((sextet(body.back()) & unused) != 0) return std::nullopt;
  }
  // EVP_DecodeBlock decodes whole groups of four and counts the padding as zero bytes,
  // which come off again here.
  std::string bytes(3 * (text.size() / 4), '\0');
  const int written = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                      reinterpret_cast<const unsigned char*>(text.data()),
                                      static_cast<int>(text.size()));
  if (written < 0 || static_cast<size_t>(written) != bytes.size()) return std::nullopt;
  bytes.resize(bytes.size() - padding);
  return bytes;
}

}  // namespace tessel::Base64
