// Small application packages for the package and tool tests.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>

#include "quarn/package/application_package.hpp"

namespace quarn::package::testing {

// A fresh directory under the system's temporary directory, removed with its contents.
class TemporaryDirectory {
 public:
  explicit TemporaryDirectory(const std::string& name)
      : path_(std::filesystem::temp_directory_path() / (name + "-" + std::to_string(::getpid()))) {
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
  ~TemporaryDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

inline ProfileStep step(std::uint32_t index, std::uint32_t phase, ProfileStepKind kind,
                        std::string operation, std::vector<ProfileMetadata> metadata = {},
                        std::string kernel = "") {
  return ProfileStep{
      index, phase, 0, std::move(operation), kind, std::move(kernel), std::move(metadata)};
}

// One record of every kind, with the awkward values: duplicate names, texts that need escaping,
// 64-bit values above 2^63, a missing tensor, live to the end, a sample whose step differs from
// its tile's listed step, and a sampled tile without a step list.
inline ApplicationPackage small_package() {
  ApplicationPackage package;
  package.outputs = {
      Binding{"logits", "f32", {2, 1000}, {{7, 0xA0000, 0, 4000}, {9, 0xB0000, 4000, 4000}}}};
  package.host_weights = {Binding{"weights", "f16", {64, 64}, {{7, 0x60000, 0, 8192}}},
                          Binding{"weights", "f16", {}, {}}};
  package.host_inputs = {Binding{"left", "f32", {1024}, {{7, 0xA0000, 0, 4096}}}};
  package.host_outputs = {Binding{
      "result \"final\"\n",
      "u32",
      {1},
      {{7, 0xC0000, std::numeric_limits<std::uint64_t>::max(), (std::uint64_t{1} << 63) + 5}}}};

  const std::vector<ProfileMetadata> gemm_metadata = {
      {"role", "inner"},      {"shape", "64x64x64"}, {"label", "layer 0 \"qkv\""},
      {"label", "duplicate"}, {"path", "a\\b\tc"},   {"unicode", "\xc3\xa9t\xc3\xa9"},
      {"empty", ""}};
  package.profile_steps = {
      ProfileTileSteps{
          7,
          {step(0, 0, ProfileStepKind::Synchronization, "sync before exchange phase 0",
                {{"active", "true"}}),
           step(1, 0, ProfileStepKind::Exchange, "exchange phase 0",
                {{"active", "true"}, {"send_count", "1"}}),
           step(2, 1, ProfileStepKind::Compute, "layer 0 qkv", gemm_metadata, "gemm_f16"),
           step(3, 1, ProfileStepKind::Idle, "idle during add_u32 (elementwise)")}},
      ProfileTileSteps{9, {step(0, 1, ProfileStepKind::Compute, "add", {}, "add_u32")}},
      ProfileTileSteps{11, {}},
  };
  package.profile_report.clock_hz = 1'500'000'000;
  auto sampled = [](const ProfileStep& entry, std::uint32_t start, std::uint32_t end) {
    return CycleSample{entry, start, end};
  };
  const auto& tile7 = package.profile_steps[0].steps;
  ProfileStep changed = tile7[3];
  changed.metadata.push_back({"extra", "only in the sample"});
  package.profile_report.tiles = {
      TileProfile{7,
                  {sampled(tile7[0], 100, 150), sampled(tile7[1], 150, 400),
                   sampled(tile7[2], 0xFFFFFF00, 0x100), sampled(changed, 0x100, 0x100)}},
      TileProfile{13, {sampled(step(0, 2, ProfileStepKind::Compute, "unlisted", {}, "k"), 5, 9)}},
      TileProfile{9, {}},
  };

  package.memory_profile.tiles = {
      memory_profile::TileMemory{
          0,
          7,
          {memory_profile::MemoryRegion{0xA0000, 4096, "home", "left", 3, 0,
                                        std::numeric_limits<std::size_t>::max()},
           memory_profile::MemoryRegion{0xA0000, 16, "home_alias", "tensor 4 alias of 3", 4, 1, 2},
           memory_profile::MemoryRegion{0xD0000, 64, "exchange_staging",
                                        "exchange staging tensor 7", std::nullopt, 2, 3}}},
      memory_profile::TileMemory{1, 9, {}},
  };
  return package;
}

}  // namespace quarn::package::testing
