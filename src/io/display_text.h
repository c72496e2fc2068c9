// SPDX-License-Identifier: Apache-2.0
#pragma once
// Text that comes from outside the program (a device's strings, file names)
// made safe to show on a terminal, in a log or on a label.
#include <cstddef>
#include <string>
#include <string_view>

namespace quorvel::io {

// Length of the valid UTF-8 sequence starting at text[i], or 0 when the bytes
// there are not valid UTF-8 (overlong forms, surrogates and code points above
// U+10FFFF are invalid).
std::size_t Utf8SequenceLength(std::string_view text, std::size_t i);
bool IsValidUtf8(std::string_view text);

// Bytes from a device or a foreign file as UTF-8: taken as UTF-8 when the
// whole text is valid UTF-8, else each byte as its Latin-1 character.
std::string Utf8OrLatin1(std::string_view bytes);

// `text` with everything that could move the cursor, recolour a terminal or
// reorder what is shown replaced by a visible escape: C0 controls and DEL as
// "\x1B", C1 controls, line separators and bidirectional overrides as
// "\u202E", and bytes that are not UTF-8 as "\xE9".
std::string PrintableText(std::string_view text);

}  // namespace quorvel::io
