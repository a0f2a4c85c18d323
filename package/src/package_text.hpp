// The JSON texts the package stores in single columns: lists of unsigned numbers, used for
// binding shapes ('[1024,3]') and for the metadata entry ids of a step ('[0,4,17]'). SQLite's
// JSON functions read them; the decoder accepts any JSON array of such numbers and refuses
// everything else, so a damaged column is reported, never guessed at.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quarn::package::text {

// '[1024,3]'; '[]' for no numbers.
std::string encode_numbers(const std::vector<std::uint32_t>& numbers);
void append_numbers(std::string& out, const std::vector<std::uint32_t>& numbers);

// Replaces `numbers` with the decoded list; false (and `numbers` unspecified) when `json` is not
// an array of unsigned 32-bit decimal numbers.
bool decode_numbers(std::string_view json, std::vector<std::uint32_t>& numbers);

}  // namespace quarn::package::text
