#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "quarn/package/memory_profile.hpp"
#include "quarn/package/profile.hpp"

namespace {

using namespace quarn::package;

TEST(ProfileMetadata, RendersEachValueKind) {
  const std::string borrowed = "inner-block";
  struct Case {
    ProfileMetadata entry;
    std::string_view name;
    std::string_view value;
  };
  const Case cases[] = {
      {profile_metadata("worker_count", std::uint8_t{6}), "worker_count", "6"},
      {profile_metadata("worker_count", std::uint8_t{255}), "worker_count", "255"},
      {profile_metadata("alignment", std::uint32_t{32}), "alignment", "32"},
      {profile_metadata("send_bytes", std::uint64_t{0}), "send_bytes", "0"},
      {profile_metadata("send_bytes", UINT64_MAX), "send_bytes", "18446744073709551615"},
      {profile_metadata("output_tensor", std::size_t{11}), "output_tensor", "11"},
      {profile_metadata("active", false), "active", "false"},
      {profile_metadata("active", true), "active", "true"},
      {profile_metadata("role", borrowed), "role", "inner-block"},
      {profile_metadata(std::string_view("role"), std::string_view(borrowed)), "role",
       "inner-block"},
      {profile_metadata(borrowed + "_x", "a \"quoted\", text"), "inner-block_x",
       "a \"quoted\", text"},
      {profile_metadata("empty", ""), "empty", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.entry.name, c.name);
    EXPECT_EQ(c.entry.value, c.value) << c.name;
  }
}

TEST(ProfileStepKind, PrintsVariantName) {
  EXPECT_EQ(to_string(ProfileStepKind::Exchange), "Exchange");
  EXPECT_EQ(to_string(ProfileStepKind::Compute), "Compute");
  EXPECT_EQ(to_string(ProfileStepKind::Synchronization), "Synchronization");
  EXPECT_EQ(to_string(ProfileStepKind::Idle), "Idle");
}

TEST(ProfileStepKind, ValueOutsideTheEnumerationIsAnInternalError) {
  try {
    (void)to_string(static_cast<ProfileStepKind>(9));
    FAIL() << "expected an internal error";
  } catch (const std::logic_error& error) {
    EXPECT_STREQ(error.what(), "unknown profile step kind");
  }
}

TEST(ProfileRecords, CopiedSampleOwnsItsMetadata) {
  CycleSample first{
      .step = ProfileStep{.local_index = 1,
                          .phase = 0,
                          .epoch = 0,
                          .operation = "exchange phase 0",
                          .kind = ProfileStepKind::Exchange,
                          .kernel = "",
                          .metadata = {profile_metadata("active", true)}},
      .start_cycle = 5,
      .end_cycle = 9,
  };
  CycleSample copy = first;
  copy.step.metadata[0].value = "false";
  copy.step.metadata.push_back(profile_metadata("send_count", std::size_t{0}));
  ASSERT_EQ(first.step.metadata.size(), 1u);
  EXPECT_EQ(first.step.metadata[0].value, "true");
  EXPECT_NE(first, copy);
}

TEST(MemoryProfileRecords, DefaultsDescribeTileMemory) {
  const memory_profile::MemoryProfile profile;
  EXPECT_EQ(profile.memory_base, 0x4C000u);
  EXPECT_EQ(profile.memory_size, 0x9C000u);
  EXPECT_TRUE(profile.tiles.empty());
}

}  // namespace
