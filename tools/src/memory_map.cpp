#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "quarn/package/tile_memory.hpp"
#include "quarn/runtime/memory/tile_regions.hpp"
#include "quarn/support/format.hpp"
#include "quarn/tools/commands.hpp"

namespace quarn::tools {

namespace {

using runtime::EXECUTABLE_WINDOW;
using runtime::FIXED_RESERVATIONS;
using runtime::INTERLEAVED_WINDOW;
using support::format;
using support::Hex;

// The fixed areas of every tile drawn behind the regions.
struct Area {
  std::uint32_t start;
  std::uint32_t end;
  std::string_view label;
  std::string_view fill;
};
// The windows and fixed reservations come from the placement rules, so the picture shows exactly
// what placement keeps free.
constexpr Area AREAS[] = {
    {EXECUTABLE_WINDOW.first, EXECUTABLE_WINDOW.second, "executable window", "#eef3fb"},
    {INTERLEAVED_WINDOW.first, INTERLEAVED_WINDOW.second, "interleaved window", "#f6f0e4"},
    {FIXED_RESERVATIONS[0].first, FIXED_RESERVATIONS[0].second, "reserved", "#9a9a9a"},
    {FIXED_RESERVATIONS[1].first, FIXED_RESERVATIONS[1].second, "reserved", "#c8c8c8"},
};
static_assert(FIXED_RESERVATIONS.size() == 2, "draw every fixed reservation");

std::string_view colour(std::string_view category) {
  if (category == "home") return "#4e79a7";
  if (category == "home_alias") return "#f28e2b";
  if (category == "exchange_staging") return "#59a14f";
  return "#b07aa1";
}

void append_escaped(std::string& out, std::string_view text) {
  for (const char c : text) {
    switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        // Control characters other than tab and newline are not allowed in XML text.
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n') {
          out += '?';
        } else {
          out += c;
        }
    }
  }
}

std::string number(double value) {
  const auto scaled = static_cast<std::int64_t>(value * 10.0 + (value >= 0 ? 0.5 : -0.5));
  std::string out = format("{}", scaled / 10);
  const auto tenth = scaled % 10;
  if (tenth != 0) out += format(".{}", tenth < 0 ? -tenth : tenth);
  return out;
}

}  // namespace

std::expected<void, std::string> write_memory_map(
    const package::memory_profile::MemoryProfile& profile, std::uint16_t logical_tile,
    std::ostream& out) {
  const auto tile = std::find_if(profile.tiles.begin(), profile.tiles.end(),
                                 [&](const auto& t) { return t.logical_tile == logical_tile; });
  if (tile == profile.tiles.end()) {
    return std::unexpected(format("the memory profile has no logical tile {}", logical_tile));
  }
  const std::uint64_t base = package::TILE_MEMORY_BASE;
  const std::uint64_t end = package::TILE_MEMORY_END;
  // Phases shown: up to the last phase any region starts or ends in; live-to-end regions run to
  // the right edge.
  std::uint64_t phases = 1;
  for (const auto& region : tile->regions) {
    phases = std::max<std::uint64_t>(phases, region.live_from + 1);
    if (region.live_until != std::numeric_limits<std::size_t>::max()) {
      phases = std::max<std::uint64_t>(phases, region.live_until);
    }
  }
  const double left = 110, top = 40, width = 860, height = 640;
  auto x_of = [&](std::uint64_t phase) {
    return left +
           width * static_cast<double>(std::min(phase, phases)) / static_cast<double>(phases);
  };
  auto y_of = [&](std::uint64_t address) {
    const std::uint64_t clamped = std::clamp(address, base, end);
    return top + height * static_cast<double>(clamped - base) / static_cast<double>(end - base);
  };

  std::string svg;
  svg += format(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"1000\" height=\"740\" "
      "viewBox=\"0 0 1000 740\" font-family=\"sans-serif\" font-size=\"11\">\n"
      "<rect x=\"0\" y=\"0\" width=\"1000\" height=\"740\" fill=\"white\"/>\n"
      "<text x=\"500\" y=\"22\" text-anchor=\"middle\" font-size=\"14\">memory of logical tile "
      "{} (physical tile {}): {} regions</text>\n",
      tile->logical_tile, tile->physical_tile, tile->regions.size());
  for (const Area& area : AREAS) {
    svg += format("<rect x=\"{}\" y=\"{}\" width=\"{}\" height=\"{}\" fill=\"{}\">", number(left),
                  number(y_of(area.start)), number(width),
                  number(y_of(area.end) - y_of(area.start)), area.fill);
    svg += format("<title>{} [0x{}, 0x{})</title></rect>\n", area.label, Hex{area.start},
                  Hex{area.end});
  }
  for (const auto& region : tile->regions) {
    const std::uint64_t region_end = std::uint64_t{region.address} + region.size;
    const double x = x_of(region.live_from);
    const double w = std::max(1.0, x_of(region.live_until) - x);
    const double y = y_of(region.address);
    const double h = std::max(0.5, y_of(region_end) - y);
    svg += format(
        "<rect x=\"{}\" y=\"{}\" width=\"{}\" height=\"{}\" fill=\"{}\" fill-opacity=\"0.8\" "
        "stroke=\"#333\" stroke-width=\"0.3\"><title>",
        number(x), number(y), number(w), number(h), colour(region.category));
    append_escaped(svg, region.name);
    svg += format(" ({}): [0x{}, 0x{}), {} bytes, phases ", region.category, Hex{region.address},
                  Hex{region_end}, region.size);
    svg += region.live_until == std::numeric_limits<std::size_t>::max()
               ? format("{} to the end", region.live_from)
               : format("[{}, {})", region.live_from, region.live_until);
    svg += "</title></rect>\n";
  }
  // Axes: addresses every 0x10000 on the left, phases along the bottom.
  svg += format(
      "<rect x=\"{}\" y=\"{}\" width=\"{}\" height=\"{}\" fill=\"none\" stroke=\"black\"/>\n",
      number(left), number(top), number(width), number(height));
  for (std::uint64_t address = base; address <= end; address += 0x10000 - (address % 0x10000)) {
    svg += format("<text x=\"{}\" y=\"{}\" text-anchor=\"end\">0x{}</text>\n", number(left - 6),
                  number(y_of(address) + 4), Hex{address});
    if (address == end) break;
  }
  svg += format("<text x=\"{}\" y=\"{}\" text-anchor=\"end\">0x{}</text>\n", number(left - 6),
                number(y_of(end) + 4), Hex{end});
  const std::uint64_t step = std::max<std::uint64_t>(1, phases / 10);
  for (std::uint64_t phase = 0; phase <= phases; phase += step) {
    svg += format("<text x=\"{}\" y=\"{}\" text-anchor=\"middle\">{}</text>\n", number(x_of(phase)),
                  number(top + height + 16), phase);
  }
  svg += format(
      "<text x=\"{}\" y=\"732\" text-anchor=\"middle\">phase</text>\n"
      "<text x=\"16\" y=\"{}\" text-anchor=\"middle\" transform=\"rotate(-90 16 {})\">tile "
      "address</text>\n",
      number(left + width / 2), number(top + height / 2), number(top + height / 2));
  // Legend.
  double legend_x = left;
  for (const std::string_view category : {"home", "home_alias", "exchange_staging"}) {
    svg += format(
        "<rect x=\"{}\" y=\"716\" width=\"10\" height=\"10\" fill=\"{}\"/>"
        "<text x=\"{}\" y=\"725\">{}</text>\n",
        number(legend_x), colour(category), number(legend_x + 14), category);
    legend_x += 130;
  }
  svg += "</svg>\n";
  out << svg;
  return {};
}

}  // namespace quarn::tools
