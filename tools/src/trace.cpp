#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <unordered_map>

#include "quarn/support/format.hpp"
#include "quarn/tools/commands.hpp"

namespace quarn::tools {

std::expected<void, std::string> write_trace(const package::ProfileReport& report,
                                             std::ostream& out) {
  if (report.clock_hz == 0) {
    return std::unexpected(std::string("the package has no clock frequency to convert cycles"));
  }
  const double microseconds_per_cycle = 1e6 / static_cast<double>(report.clock_hz);
  // Time 0 is the earliest first reading of any tile.
  std::uint64_t origin = std::numeric_limits<std::uint64_t>::max();
  for (const package::TileProfile& tile : report.tiles) {
    if (!tile.samples.empty())
      origin = std::min<std::uint64_t>(origin, tile.samples[0].start_cycle);
  }
  out << "{\"displayTimeUnit\":\"ns\",\"traceEvents\":[\n";
  nlohmann::json process = {
      {"ph", "M"}, {"name", "process_name"}, {"pid", 0}, {"args", {{"name", "device tiles"}}}};
  out << process.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  for (const package::TileProfile& tile : report.tiles) {
    nlohmann::json track = {{"ph", "M"},
                            {"name", "thread_name"},
                            {"pid", 0},
                            {"tid", tile.physical_tile},
                            {"args", {{"name", support::format("tile {}", tile.physical_tile)}}}};
    out << ",\n" << track.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    // Counters are 32-bit and wrap: each start is placed after the previous one by the
    // difference modulo 2^32, so the track stays in order across a wrap.
    std::uint64_t time = 0;
    std::uint32_t previous_start = 0;
    bool first = true;
    for (const package::CycleSample& sample : tile.samples) {
      if (first) {
        time = sample.start_cycle;
        first = false;
      } else {
        time += static_cast<std::uint32_t>(sample.start_cycle - previous_start);
      }
      previous_start = sample.start_cycle;
      const std::uint32_t cycles = sample.end_cycle - sample.start_cycle;
      nlohmann::json args = nlohmann::json::object();
      std::unordered_map<std::string, int> seen;
      for (const package::ProfileMetadata& entry : sample.step.metadata) {
        // Event arguments are an object; a repeated name keeps every value under a numbered key.
        const int count = ++seen[entry.name];
        const std::string key =
            count == 1 ? entry.name : support::format("{} ({})", entry.name, count);
        args[key] = entry.value;
      }
      args["cycles"] = cycles;
      nlohmann::json event = {{"ph", "X"},
                              {"name", sample.step.operation},
                              {"cat", package::to_string(sample.step.kind)},
                              {"pid", 0},
                              {"tid", tile.physical_tile},
                              {"ts", static_cast<double>(time - origin) * microseconds_per_cycle},
                              {"dur", static_cast<double>(cycles) * microseconds_per_cycle},
                              {"args", std::move(args)}};
      out << ",\n" << event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    }
  }
  out << "\n]}\n";
  return {};
}

}  // namespace quarn::tools
