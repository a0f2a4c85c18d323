// The `quarn` tool's commands, callable from tests as well as from `main`.
//
//   quarn inspect PACKAGE                    readable summary of a package
//   quarn trace PACKAGE -o trace.json        the profile report as a trace for trace viewers
//   quarn memory-map PACKAGE --tile N -o map.svg   one tile's memory over time as a picture
//
// Usage errors, missing files and bad packages print one line on the error stream and give a
// non-zero exit code.
#pragma once

#include <cstdint>
#include <expected>
#include <ostream>
#include <string>
#include <vector>

#include "quarn/package/application_package.hpp"

namespace quarn::tools {

// Runs the tool on `arguments` (without the program name); returns the exit code.
int run_quarn(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

// The readable summary of `quarn inspect`.
void write_inspection(const package::ApplicationPackage& package, std::ostream& out);

// The profile report as Chrome Trace Event Format JSON: one named track per physical tile and one
// complete event per sample, times in microseconds from `clock_hz`, durations taken modulo 2^32.
// Fails when the package has no clock frequency.
std::expected<void, std::string> write_trace(const package::ProfileReport& report,
                                             std::ostream& out);

// One logical tile's memory regions as an SVG picture: phases along x, tile addresses along y.
// Fails when the memory profile has no such tile.
std::expected<void, std::string> write_memory_map(
    const package::memory_profile::MemoryProfile& profile, std::uint16_t logical_tile,
    std::ostream& out);

}  // namespace quarn::tools
