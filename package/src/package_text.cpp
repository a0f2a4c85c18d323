#include "package_text.hpp"

#include <limits>

#include "quarn/support/format.hpp"

namespace quarn::package::text {

void append_json_string(std::string& out, std::string_view value) {
  static constexpr char kDigits[] = "0123456789abcdef";
  out.push_back('"');
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (byte < 0x20) {
      out.append("\\u00");
      out.push_back(kDigits[byte >> 4]);
      out.push_back(kDigits[byte & 0xF]);
    } else {
      out.push_back(c);
    }
  }
  out.push_back('"');
}

std::string encode_metadata(const std::vector<ProfileMetadata>& metadata) {
  std::string out = "[";
  for (std::size_t i = 0; i < metadata.size(); ++i) {
    if (i != 0) out.push_back(',');
    out.push_back('[');
    append_json_string(out, metadata[i].name);
    out.push_back(',');
    append_json_string(out, metadata[i].value);
    out.push_back(']');
  }
  out.push_back(']');
  return out;
}

std::string encode_shape(const std::vector<std::uint32_t>& shape) {
  std::string out = "[";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (i != 0) out.push_back(',');
    support::append_decimal(out, shape[i]);
  }
  out.push_back(']');
  return out;
}

namespace {

// A cursor over JSON text; every read checks the end first.
class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  void skip_space() {
    while (at_ < text_.size() &&
           (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' || text_[at_] == '\r')) {
      ++at_;
    }
  }
  bool consume(char c) {
    skip_space();
    if (at_ < text_.size() && text_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }
  bool peek(char c) {
    skip_space();
    return at_ < text_.size() && text_[at_] == c;
  }
  bool at_end() {
    skip_space();
    return at_ == text_.size();
  }

  std::optional<std::string> string() {
    if (!consume('"')) return std::nullopt;
    std::string out;
    while (at_ < text_.size()) {
      const char c = text_[at_++];
      if (c == '"') return out;
      if (static_cast<unsigned char>(c) < 0x20) return std::nullopt;
      if (c != '\\') {
        out.push_back(c);
        continue;
      }
      if (at_ >= text_.size()) return std::nullopt;
      const char escape = text_[at_++];
      switch (escape) {
        case '"':
          out.push_back('"');
          break;
        case '\\':
          out.push_back('\\');
          break;
        case '/':
          out.push_back('/');
          break;
        case 'b':
          out.push_back('\b');
          break;
        case 'f':
          out.push_back('\f');
          break;
        case 'n':
          out.push_back('\n');
          break;
        case 'r':
          out.push_back('\r');
          break;
        case 't':
          out.push_back('\t');
          break;
        case 'u': {
          const auto code = hex4();
          // Surrogate halves would need a pair; the writer never produces them.
          if (!code || (*code >= 0xD800 && *code <= 0xDFFF)) return std::nullopt;
          append_utf8(out, *code);
          break;
        }
        default:
          return std::nullopt;
      }
    }
    return std::nullopt;
  }

  std::optional<std::uint32_t> unsigned32() {
    skip_space();
    const std::size_t start = at_;
    std::uint64_t value = 0;
    while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') {
      value = value * 10 + static_cast<std::uint64_t>(text_[at_] - '0');
      if (value > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
      ++at_;
    }
    const std::size_t length = at_ - start;
    if (length == 0 || (length > 1 && text_[start] == '0')) return std::nullopt;
    return static_cast<std::uint32_t>(value);
  }

 private:
  std::optional<std::uint32_t> hex4() {
    if (text_.size() - at_ < 4) return std::nullopt;
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[at_++];
      value <<= 4;
      if (c >= '0' && c <= '9') {
        value |= static_cast<std::uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        value |= static_cast<std::uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        value |= static_cast<std::uint32_t>(c - 'A' + 10);
      } else {
        return std::nullopt;
      }
    }
    return value;
  }

  static void append_utf8(std::string& out, std::uint32_t code) {
    if (code < 0x80) {
      out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (code >> 6)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xE0 | (code >> 12)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

}  // namespace

std::optional<std::vector<ProfileMetadata>> decode_metadata(std::string_view json) {
  Parser parser(json);
  std::vector<ProfileMetadata> metadata;
  if (!parser.consume('[')) return std::nullopt;
  if (!parser.consume(']')) {
    do {
      if (!parser.consume('[')) return std::nullopt;
      auto name = parser.string();
      if (!name || !parser.consume(',')) return std::nullopt;
      auto value = parser.string();
      if (!value || !parser.consume(']')) return std::nullopt;
      metadata.push_back(ProfileMetadata{std::move(*name), std::move(*value)});
    } while (parser.consume(','));
    if (!parser.consume(']')) return std::nullopt;
  }
  if (!parser.at_end()) return std::nullopt;
  return metadata;
}

std::optional<std::vector<std::uint32_t>> decode_shape(std::string_view json) {
  Parser parser(json);
  std::vector<std::uint32_t> shape;
  if (!parser.consume('[')) return std::nullopt;
  if (!parser.consume(']')) {
    do {
      const auto dimension = parser.unsigned32();
      if (!dimension) return std::nullopt;
      shape.push_back(*dimension);
    } while (parser.consume(','));
    if (!parser.consume(']')) return std::nullopt;
  }
  if (!parser.at_end()) return std::nullopt;
  return shape;
}

}  // namespace quarn::package::text
