// SPDX-License-Identifier: Apache-2.0
#include "io/display_text.h"

#include <cstdint>
#include <cstdio>

namespace quorvel::io {

namespace {

std::uint32_t DecodeAt(std::string_view text, std::size_t i, std::size_t length) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
  if (length == 1) return byte(0);
  std::uint32_t cp = byte(0) & (0x7Fu >> length);
  for (std::size_t k = 1; k < length; ++k) cp = (cp << 6) | (byte(k) & 0x3Fu);
  return cp;
}

bool NeedsEscape(std::uint32_t cp) {
  return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029 ||
         (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
}

// "\x1B" for a byte or an ASCII control, "\u202E" for a code point above it.
void AppendEscape(std::string& out, unsigned value, bool codePoint) {
  char buffer[8];
  if (codePoint) {
    std::snprintf(buffer, sizeof buffer, "\\u%04X", value);
  } else {
    std::snprintf(buffer, sizeof buffer, "\\x%02X", value);
  }
  out += buffer;
}

}  // namespace

std::size_t Utf8SequenceLength(std::string_view text, std::size_t i) {
  const auto b0 = static_cast<unsigned char>(text[i]);
  std::size_t length = 0;
  std::uint32_t minimum = 0;
  if (b0 < 0x80) return 1;
  if ((b0 & 0xE0) == 0xC0) {
    length = 2;
    minimum = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    length = 3;
    minimum = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    length = 4;
    minimum = 0x10000;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return 0;
  }
  const std::uint32_t cp = DecodeAt(text, i, length);
  if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return length;
}

bool IsValidUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = Utf8SequenceLength(text, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

std::string Utf8OrLatin1(std::string_view bytes) {
  if (IsValidUtf8(bytes)) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x80) {
      out += c;
    } else {
      out += static_cast<char>(0xC0 | (b >> 6));
      out += static_cast<char>(0x80 | (b & 0x3F));
    }
  }
  return out;
}

std::string PrintableText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = Utf8SequenceLength(text, i);
    if (length == 0) {
      AppendEscape(out, static_cast<unsigned char>(text[i]), false);
      ++i;
      continue;
    }
    const std::uint32_t cp = DecodeAt(text, i, length);
    if (!NeedsEscape(cp)) {
      out.append(text.substr(i, length));
    } else {
      AppendEscape(out, cp, cp >= 0x80);
    }
    i += length;
  }
  return out;
}

}  // namespace quorvel::io
