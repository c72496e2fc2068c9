#include "cli/json_line.h"

#include <cstdio>

namespace quorvel::cli {

namespace {

// Length of the valid UTF-8 sequence starting at text[i], or 0 when invalid
// (overlong forms, surrogates and code points above U+10FFFF are invalid).
std::size_t Utf8SequenceLength(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char b0 = byte(i);
  std::size_t length = 0;
  std::uint32_t cp = 0;
  std::uint32_t minimum = 0;
  if (b0 < 0x80) return 1;
  if ((b0 & 0xE0) == 0xC0) {
    length = 2;
    cp = b0 & 0x1Fu;
    minimum = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    length = 3;
    cp = b0 & 0x0Fu;
    minimum = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    length = 4;
    cp = b0 & 0x07u;
    minimum = 0x10000;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (byte(i + k) & 0x3Fu);
  }
  if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return length;
}

}  // namespace

std::string JsonString(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      const std::size_t length = Utf8SequenceLength(text, i);
      if (length == 0) {
        out += "\\ufffd";
        ++i;
      } else {
        out.append(text.substr(i, length));
        i += length;
      }
      continue;
    }
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
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
        if (c < 0x20 || c == 0x7F) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
    ++i;
  }
  out += '"';
  return out;
}

void JsonObject::Key(std::string_view key) {
  if (body_.size() > 1) body_ += ',';
  body_ += JsonString(key);
  body_ += ':';
}

JsonObject& JsonObject::Add(std::string_view key, std::string_view text) {
  Key(key);
  body_ += JsonString(text);
  return *this;
}

JsonObject& JsonObject::Add(std::string_view key, std::int64_t number) {
  Key(key);
  body_ += std::to_string(number);
  return *this;
}

JsonObject& JsonObject::Add(std::string_view key, bool value) {
  Key(key);
  body_ += value ? "true" : "false";
  return *this;
}

}  // namespace quorvel::cli
