// The JSON texts the package stores in single columns: step metadata as an array of
// [name, value] pairs (order and duplicate names kept) and binding shapes as an array of
// dimensions. SQLite's JSON functions read both; the decoders here accept any JSON of that shape
// and refuse everything else, so a damaged column is reported, never guessed at.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quarn/package/profile.hpp"

namespace quarn::package::text {

// Appends `value` as a JSON string: quotes, backslashes and control characters escaped, every
// other byte as it is.
void append_json_string(std::string& out, std::string_view value);

// '[["role","elementwise"],["shape","64"]]'; '[]' for no entries.
std::string encode_metadata(const std::vector<ProfileMetadata>& metadata);
std::optional<std::vector<ProfileMetadata>> decode_metadata(std::string_view json);

// '[1024,3]'; '[]' for a scalar.
std::string encode_shape(const std::vector<std::uint32_t>& shape);
std::optional<std::vector<std::uint32_t>> decode_shape(std::string_view json);

}  // namespace quarn::package::text
