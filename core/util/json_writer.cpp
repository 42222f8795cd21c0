#include "util/json_writer.h"

#include <charconv>
#include <cmath>

namespace tessel {

void JsonWriter::appendString(std::string& out, std::string_view value) {
  out += '"';
  appendEscaped(out, value, true);
  out += '"';
}

void JsonWriter::appendEscaped(std::string& out, std::string_view value, bool escapeSlash) {
  static constexpr char hex[] = "0123456789abcdef";
  size_t plain = 0;
  for (size_t i = 0; i < value.size(); ++i) {
    const auto c = static_cast<unsigned char>(value[i]);
    if (c >= 0x20 && c != '"' && c != '\\' && (c != '/' || !escapeSlash)) continue;
    out.append(value.substr(plain, i - plain));
    plain = i + 1;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '/':
        out += "\\/";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        out += "\\u00";
        out += hex[c >> 4];
        out += hex[c & 0xF];
    }
  }
  out.append(value.substr(plain));
}

void JsonWriter::separate() {
  if (needsComma_) out_ += ',';
  needsComma_ = true;
}

JsonWriter& JsonWriter::beginObject() {
  separate();
  out_ += '{';
  needsComma_ = false;
  return *this;
}

JsonWriter& JsonWriter::endObject() {
  out_ += '}';
  needsComma_ = true;
  return *this;
}

JsonWriter& JsonWriter::key(std::string_view name) {
  separate();
  appendString(out_, name);
  out_ += ':';
  needsComma_ = false;
  return *this;
}

JsonWriter& JsonWriter::string(std::string_view value) {
  separate();
  appendString(out_, value);
  return *this;
}

void JsonWriter::appendNumber(std::string& out, double value) {
  char buffer[32];
  std::to_chars_result result{};
  if (!std::isfinite(value)) {
    // JSON has no form for these; callers that care reject them before writing.
    out += "null";
    return;
  }
  if (value == std::trunc(value) && std::fabs(value) < 9007199254740992.0) {
    result = std::to_chars(buffer, buffer + sizeof buffer, static_cast<int64_t>(value));
  } else {
    result = std::to_chars(buffer, buffer + sizeof buffer, value);
  }
  out.append(buffer, result.ptr);
}

JsonWriter& JsonWriter::number(double value) {
  separate();
  appendNumber(out_, value);
  return *this;
}

JsonWriter& JsonWriter::integer(int64_t value) {
  separate();
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out_.append(buffer, result.ptr);
  return *this;
}

JsonWriter& JsonWriter::boolean(bool value) {
  separate();
  out_ += value ? "true" : "false";
  return *this;
}

}  // namespace tessel
