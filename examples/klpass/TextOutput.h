#pragma once

#include <cstddef>
#include <string>

#include "foundation/Types.h"

// Text from a vault on its way to a terminal or a script: control characters
// escaped, columns measured in terminal cells, and JSON strings.
namespace klpass {

// Text as UTF-8 with every control character (C0, DEL, C1) written as an
// escape (\t, \n, \r, \xHH or \uHHHH), so that a title cannot move the cursor,
// clear the screen or break a line of a listing.
std::string Printable(const kl::String& Text);

// The terminal cells Text takes: two for an East Asian wide or full-width
// character, none for a combining mark or a zero-width character, one for the
// rest (Text as Printable gives it).
std::size_t CellWidth(const kl::String& Text);

// Printable(Text) followed by spaces up to Cells cells (nothing cut).
std::string PaddedCells(const kl::String& Text, std::size_t Cells);

// A JSON string (quotes included) for UTF-8 text: quotes, backslashes and
// control characters escaped.
std::string JsonString(const std::string& Utf8);

} // namespace klpass
