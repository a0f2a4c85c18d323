// The application package: one SQLite database file holding everything the host and the tools
// need after preparation: the host bindings, the profile steps of every tile, the decoded profile
// report and the memory profile.
//
//   ApplicationPackage package{.host_inputs = ..., .profile_report = ..., .memory_profile = ...};
//   if (auto written = write_application_package(package, "model.quarn"); !written) ...
//   auto read = read_application_package("model.quarn");  // *read == package
//
// Writing is all or nothing: the file is filled under a temporary name in one transaction and
// renamed into place, so an earlier package at the path stays intact until the new one is
// complete. Reading refuses files that are not packages, packages of another schema version and
// truncated or corrupt files with a message naming the path. The schema is documented in the
// README ("Application package") so that a package can be queried with SQL directly.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "quarn/package/binding.hpp"
#include "quarn/package/memory_profile.hpp"
#include "quarn/package/profile.hpp"

namespace quarn::package {

// The schema version this library writes and the only one it reads.
inline constexpr std::int64_t PACKAGE_SCHEMA_VERSION = 1;
// SQLite's application id field of every package ("qurn" in ASCII), telling a package apart from
// any other SQLite database.
inline constexpr std::int32_t PACKAGE_APPLICATION_ID = 0x7175726E;

// Why a package could not be written or read: one message.
struct PackageError {
  std::string message;
  friend bool operator==(const PackageError&, const PackageError&) = default;
};

// The message.
inline std::string to_string(const PackageError& error) {
  return error.message;
}
// 'PackageError("message")'.
inline std::string debug_string(const PackageError& error) {
  return "PackageError(\"" + error.message + "\")";
}

template <typename T>
using PackageResult = std::expected<T, PackageError>;

// The profile steps of one physical tile, in step order.
struct ProfileTileSteps {
  std::uint32_t physical_tile = 0;
  std::vector<ProfileStep> steps;
  friend bool operator==(const ProfileTileSteps&, const ProfileTileSteps&) = default;
};

// Everything a package holds. The reader gives back exactly what the writer was given: list
// order, metadata order and duplicate names included.
struct ApplicationPackage {
  // The four host binding lists of the executable graph.
  std::vector<Binding> outputs;
  std::vector<Binding> host_weights;
  std::vector<Binding> host_inputs;
  std::vector<Binding> host_outputs;
  // The profile steps of each profiled tile.
  std::vector<ProfileTileSteps> profile_steps;
  // The decoded cycle samples, with the device clock.
  ProfileReport profile_report;
  memory_profile::MemoryProfile memory_profile;
  friend bool operator==(const ApplicationPackage&, const ApplicationPackage&) = default;
};

// Test hooks of the writer.
struct PackageWriteOptions {
  // Called inside the write transaction after each table is filled, with the table's name, and
  // once more with "commit" when the temporary file is complete, just before it is renamed into
  // place. An error it returns fails the write like any other failure.
  std::function<PackageResult<void>(std::string_view stage)> checkpoint;
};

// Writes `package` to `path`, replacing any file there only once the new package is complete.
// On failure the temporary file is removed and the path is as it was.
PackageResult<void> write_application_package(const ApplicationPackage& package,
                                              const std::filesystem::path& path,
                                              const PackageWriteOptions& options = {});

// Reads the package at `path`.
PackageResult<ApplicationPackage> read_application_package(const std::filesystem::path& path);

}  // namespace quarn::package
