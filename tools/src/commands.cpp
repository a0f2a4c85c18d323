#include "quarn/tools/commands.hpp"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <fstream>
#include <map>
#include <string>
#include <utility>

#include "quarn/support/format.hpp"

namespace quarn::tools {

namespace {

using support::format;

std::uint64_t binding_bytes(const package::Binding& binding) {
  std::uint64_t bytes = 0;
  for (const auto& slice : binding.slices) bytes += slice.size;
  return bytes;
}

std::string shape_text(const std::vector<std::uint32_t>& shape) {
  std::string out;
  for (std::size_t i = 0; i < shape.size(); ++i) out += format(i == 0 ? "{}" : "x{}", shape[i]);
  return shape.empty() ? "scalar" : out;
}

// Reads the package at `path`, or prints the reader's message.
std::optional<package::ApplicationPackage> load(const std::string& path, std::ostream& err) {
  auto read = package::read_application_package(path);
  if (!read) {
    err << "quarn: " << read.error().message << "\n";
    return std::nullopt;
  }
  return std::move(*read);
}

// Opens `path` for writing, or prints why it cannot.
std::optional<std::ofstream> open_output(const std::string& path, std::ostream& err) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!file) {
    err << "quarn: cannot write '" << path << "'\n";
    return std::nullopt;
  }
  return file;
}

}  // namespace

void write_inspection(const package::ApplicationPackage& package, std::ostream& out) {
  out << "bindings\n";
  const std::pair<const char*, const std::vector<package::Binding>*> lists[] = {
      {"output", &package.outputs},
      {"host weight", &package.host_weights},
      {"host input", &package.host_inputs},
      {"host output", &package.host_outputs}};
  for (const auto& [role, list] : lists) {
    for (const auto& binding : *list) {
      out << format("  {} '{}' {} {}: {} slices, {} bytes\n", role, binding.name, binding.dtype,
                    shape_text(binding.shape), binding.slices.size(), binding_bytes(binding));
    }
  }

  const auto& memory = package.memory_profile;
  std::map<std::string, std::pair<std::uint64_t, std::uint64_t>> categories;
  std::vector<std::pair<std::uint64_t, std::size_t>> use;  // bytes in regions, tile index
  std::size_t regions = 0;
  for (std::size_t t = 0; t < memory.tiles.size(); ++t) {
    std::uint64_t bytes = 0;
    for (const auto& region : memory.tiles[t].regions) {
      auto& [count, total] = categories[region.category];
      ++count;
      total += region.size;
      bytes += region.size;
    }
    regions += memory.tiles[t].regions.size();
    use.emplace_back(bytes, t);
  }
  out << format("memory profile: {} tiles, {} regions, memory [0x{}, 0x{})\n", memory.tiles.size(),
                regions, support::Hex{memory.memory_base},
                support::Hex{std::uint64_t{memory.memory_base} + memory.memory_size});
  for (const auto& [category, totals] : categories) {
    out << format("  {}: {} regions, {} bytes\n", category, totals.first, totals.second);
  }
  std::sort(use.begin(), use.end(), [](const auto& a, const auto& b) {
    return a.first != b.first ? a.first > b.first : a.second < b.second;
  });
  out << "  highest memory use (bytes in regions over all phases)\n";
  for (std::size_t i = 0; i < std::min<std::size_t>(5, use.size()); ++i) {
    const auto& tile = memory.tiles[use[i].second];
    out << format("    logical tile {} (physical {}): {} bytes in {} regions\n", tile.logical_tile,
                  tile.physical_tile, use[i].first, tile.regions.size());
  }

  std::size_t steps = 0;
  for (const auto& list : package.profile_steps) steps += list.steps.size();
  out << format("profile steps: {} tiles, {} steps\n", package.profile_steps.size(), steps);
  std::size_t samples = 0;
  for (const auto& tile : package.profile_report.tiles) samples += tile.samples.size();
  out << format("profile samples: {} tiles, {} samples, clock {} Hz\n",
                package.profile_report.tiles.size(), samples, package.profile_report.clock_hz);
  for (std::size_t i = 0; i < package.profile_report.tiles.size(); ++i) {
    if (i == 8) {
      out << format("  ... {} more tiles\n", package.profile_report.tiles.size() - i);
      break;
    }
    const auto& tile = package.profile_report.tiles[i];
    out << format("  physical tile {}: {} samples\n", tile.physical_tile, tile.samples.size());
  }
}

int run_quarn(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  CLI::App app{"quarn: look into application packages"};
  app.name("quarn");
  app.require_subcommand(1);
  std::string path;
  std::string output;
  std::uint16_t tile = 0;

  auto* inspect = app.add_subcommand("inspect", "print a summary of a package");
  inspect->add_option("package", path, "the package file")->required();
  auto* trace = app.add_subcommand(
      "trace", "write the profile as trace JSON for the Perfetto UI or chrome://tracing");
  trace->add_option("package", path, "the package file")->required();
  trace->add_option("-o,--output", output, "the trace file to write")->required();
  auto* memory_map =
      app.add_subcommand("memory-map", "draw one tile's memory over time as an SVG picture");
  memory_map->add_option("package", path, "the package file")->required();
  memory_map->add_option("--tile", tile, "the logical tile")->required();
  memory_map->add_option("-o,--output", output, "the SVG file to write")->required();

  try {
    std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    out << app.help();
    return 0;
  } catch (const CLI::CallForAllHelp&) {
    out << app.help("", CLI::AppFormatMode::All);
    return 0;
  } catch (const CLI::ParseError& error) {
    // A subcommand's --help arrives here too, as the subcommand's own help request.
    if (error.get_exit_code() == 0) {
      for (auto* command : {inspect, trace, memory_map}) {
        if (command->parsed()) {
          out << command->help();
          return 0;
        }
      }
      out << app.help();
      return 0;
    }
    std::string message = error.what();
    std::replace(message.begin(), message.end(), '\n', ' ');
    err << "quarn: " << message << " (see quarn --help)\n";
    return 2;
  }

  const auto package = load(path, err);
  if (!package) return 1;
  if (inspect->parsed()) {
    write_inspection(*package, out);
    return 0;
  }
  auto file = open_output(output, err);
  if (!file) return 1;
  const auto written = trace->parsed() ? write_trace(package->profile_report, *file)
                                       : write_memory_map(package->memory_profile, tile, *file);
  if (!written) {
    err << "quarn: " << written.error() << "\n";
    file->close();
    std::filesystem::remove(output);
    return 1;
  }
  file->flush();
  if (!*file) {
    err << "quarn: cannot write '" << output << "'\n";
    return 1;
  }
  return 0;
}

}  // namespace quarn::tools
