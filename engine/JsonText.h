#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

namespace engine {

// JSON output over nlohmann-json, for the programs' one-line objects.

// A JSON string of arbitrary bytes. Product names, paths and platform error
// texts are 8-bit and not necessarily UTF-8: valid UTF-8 sequences stay the
// characters they are ("M\xc3\xbcller" is "Müller"), and every other byte
// becomes the Latin-1 code point it is, so the output is always valid JSON
// and no byte is dropped.
nlohmann::ordered_json jsonText(std::string_view bytes);

// The value on one line as fwprog prints it: ", " between members and
// elements, ": " after each name, members in the order they were added, and
// every character outside printable ASCII as a \u escape (a byte of a text
// made by jsonText as \u00XX).
std::string jsonLine(const nlohmann::ordered_json& value);

}  // namespace engine
