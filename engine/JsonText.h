#pragma once

#include <string>
#include <string_view>

// A JSON string literal, quotes included, of arbitrary bytes. Product names,
// paths and platform error texts are 8-bit and not necessarily UTF-8, so every
// byte outside printable ASCII is written as the Latin-1 code point it is:
// the output is always valid JSON and nothing is lost.
std::string jsonString(std::string_view text);
