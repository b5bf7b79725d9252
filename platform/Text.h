#pragma once
// Text helpers on UTF-8 strings: lengths and cuts count characters (code
// points), never bytes, so names in any script keep whole characters.
#include <cstddef>
#include <string>

size_t Utf8Length(const std::string& text);
// The first count characters of text.
std::string Utf8Left(const std::string& text, size_t count);
// The longest start of text that is at most bytes long and ends on a
// character boundary.
std::string Utf8LeftBytes(const std::string& text, size_t bytes);
// Case-insensitive equality across Unicode (full case folding).
bool SameText(const std::string& a, const std::string& b);
std::string LowerCase(const std::string& text);
std::string UpperCase(const std::string& text);
