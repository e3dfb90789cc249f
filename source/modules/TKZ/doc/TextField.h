// Texts that go into fixed, NUL-padded fields and width-checked columns:
// cut to a number of bytes without splitting a UTF-8 sequence, and never
// past an embedded NUL.
#pragma once

#include <cstddef>
#include <string_view>

// The longest prefix of text, up to its first NUL, of at most maxBytes bytes
// that does not end inside a UTF-8 sequence.
std::string_view CutText(std::string_view text, size_t maxBytes);

// Copies CutText(text, size - 1) into dst and pads the rest of its size
// bytes with NULs.  size 0 writes nothing.
void CopyFieldText(char* dst, size_t size, std::string_view text);
