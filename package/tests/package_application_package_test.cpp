#include "quarn/package/application_package.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../src/package_text.hpp"
#include "package_fixtures.hpp"

namespace {

using namespace quarn::package;
using quarn::package::testing::small_package;
using quarn::package::testing::TemporaryDirectory;
using ::testing::HasSubstr;

std::vector<char> file_bytes(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void write_bytes(const std::filesystem::path& path, const std::vector<char>& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::string> directory_entries(const std::filesystem::path& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

TEST(ApplicationPackage, EveryRecordKindRoundTrips) {
  const ApplicationPackage everything = small_package();
  ApplicationPackage bindings_only;
  bindings_only.outputs = everything.outputs;
  bindings_only.host_weights = everything.host_weights;
  bindings_only.host_inputs = everything.host_inputs;
  bindings_only.host_outputs = everything.host_outputs;
  ApplicationPackage steps_only;
  steps_only.profile_steps = everything.profile_steps;
  ApplicationPackage report_only;
  report_only.profile_report = everything.profile_report;
  ApplicationPackage memory_only;
  memory_only.memory_profile = everything.memory_profile;
  memory_only.memory_profile.memory_base = 0x1000;
  memory_only.memory_profile.memory_size = 0xFFFFFFFF;

  const struct {
    const char* name;
    ApplicationPackage package;
  } cases[] = {
      {"empty", ApplicationPackage{}}, {"bindings", bindings_only}, {"steps", steps_only},
      {"report", report_only},         {"memory", memory_only},     {"everything", everything},
  };
  TemporaryDirectory directory("quarn-package-round-trip");
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    const auto path = directory / (std::string(test.name) + ".quarn");
    ASSERT_TRUE(write_application_package(test.package, path)) << test.name;
    const auto read = read_application_package(path);
    ASSERT_TRUE(read) << read.error().message;
    EXPECT_EQ(*read, test.package);
  }
}

TEST(ApplicationPackage, WritingAgainReplacesThePackageAndLeavesNoTemporaryFile) {
  TemporaryDirectory directory("quarn-package-replace");
  const auto path = directory / "model.quarn";
  ASSERT_TRUE(write_application_package(small_package(), path));
  ApplicationPackage second;
  second.host_inputs = {Binding{"input", "u32", {1}, {{0, 0x60008, 0, 4}}}};
  ASSERT_TRUE(write_application_package(second, path));
  EXPECT_EQ(read_application_package(path), second);
  EXPECT_THAT(directory_entries(directory.path()), ::testing::ElementsAre("model.quarn"));
}

const std::vector<std::string> STAGES = {"package_info",
                                         "bindings",
                                         "binding_slices",
                                         "profile_step_tiles",
                                         "profile_metadata_entries",
                                         "profile_steps",
                                         "profile_sample_tiles",
                                         "profile_samples",
                                         "memory_tiles",
                                         "memory_regions",
                                         "commit"};

TEST(ApplicationPackage, AFailureAtAnyStageLeavesTheEarlierPackageIntact) {
  TemporaryDirectory directory("quarn-package-failure");
  const auto path = directory / "model.quarn";
  ApplicationPackage earlier;
  earlier.outputs = {Binding{"earlier", "f32", {4}, {{1, 0x50000, 0, 16}}}};
  ASSERT_TRUE(write_application_package(earlier, path));

  std::vector<std::string> visited;
  PackageWriteOptions recording{[&](std::string_view stage) -> PackageResult<void> {
    visited.emplace_back(stage);
    return {};
  }};
  const auto other = directory / "other.quarn";
  ASSERT_TRUE(write_application_package(small_package(), other, recording));
  EXPECT_EQ(visited, STAGES);
  std::filesystem::remove(other);

  for (const std::string& failing : STAGES) {
    SCOPED_TRACE(failing);
    PackageWriteOptions options{[&](std::string_view stage) -> PackageResult<void> {
      if (stage == failing) return std::unexpected(PackageError{"injected failure"});
      return {};
    }};
    const auto written = write_application_package(small_package(), path, options);
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().message, "injected failure");
    EXPECT_EQ(read_application_package(path), earlier);
    EXPECT_THAT(directory_entries(directory.path()), ::testing::ElementsAre("model.quarn"));
  }
}

TEST(ApplicationPackageDeathTest, ACrashMidwayLeavesTheEarlierPackageIntact) {
  TemporaryDirectory directory("quarn-package-crash");
  const auto path = directory / "model.quarn";
  ApplicationPackage earlier;
  earlier.host_weights = {Binding{"earlier", "f32", {4}, {{1, 0x50000, 0, 16}}}};
  ASSERT_TRUE(write_application_package(earlier, path));

  for (const char* crashing : {"profile_samples", "commit"}) {
    SCOPED_TRACE(crashing);
    // The child process dies inside the write, without unwinding or cleaning up.
    PackageWriteOptions options{[&](std::string_view stage) -> PackageResult<void> {
      if (stage == crashing) std::_Exit(3);
      return {};
    }};
    EXPECT_EXIT((void)write_application_package(small_package(), path, options),
                ::testing::ExitedWithCode(3), "");
    EXPECT_EQ(read_application_package(path), earlier);
    // The dead writer's temporary file is still there: the crash really happened mid-write.
    EXPECT_EQ(directory_entries(directory.path()).size(), 2u);
    for (const auto& name : directory_entries(directory.path())) {
      if (name != "model.quarn") std::filesystem::remove(directory / name);
    }
  }
  // A later write succeeds despite a temporary file a crash left behind.
  PackageWriteOptions crash_late{[&](std::string_view stage) -> PackageResult<void> {
    if (stage == "commit") std::_Exit(3);
    return {};
  }};
  EXPECT_EXIT((void)write_application_package(small_package(), path, crash_late),
              ::testing::ExitedWithCode(3), "");
  ASSERT_TRUE(write_application_package(small_package(), path));
  EXPECT_EQ(read_application_package(path), small_package());
}

TEST(ApplicationPackage, WriteFailuresAreReported) {
  TemporaryDirectory directory("quarn-package-write-failure");
  const auto missing = directory / "missing" / "model.quarn";
  const auto written = write_application_package(small_package(), missing);
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().message, "cannot write package '" + missing.string() +
                                         "': temporary file: No such file or directory");

  // A directory in the way of the rename: nothing replaced, nothing left behind.
  std::filesystem::create_directories(directory / "taken.quarn" / "inside");
  const auto blocked = write_application_package(small_package(), directory / "taken.quarn");
  ASSERT_FALSE(blocked);
  EXPECT_THAT(blocked.error().message, HasSubstr("': rename: "));
  EXPECT_THAT(directory_entries(directory.path()), ::testing::ElementsAre("taken.quarn"));
}

TEST(ApplicationPackage, FilesThatAreNotIntactPackagesAreRefused) {
  TemporaryDirectory directory("quarn-package-refused");
  const auto good = directory / "good.quarn";
  ASSERT_TRUE(write_application_package(small_package(), good));
  const std::vector<char> bytes = file_bytes(good);
  ASSERT_GT(bytes.size(), 4096u * 4);

  auto patched = [&](std::size_t offset, std::vector<char> replacement) {
    std::vector<char> copy = bytes;
    std::copy(replacement.begin(), replacement.end(), copy.begin() + static_cast<long>(offset));
    return copy;
  };
  std::vector<char> garbage_page = bytes;
  std::fill(garbage_page.begin() + 4096 * 2, garbage_page.begin() + 4096 * 3, '\xA5');

  const struct {
    const char* name;
    std::vector<char> contents;
    std::string message;  // after "'<path>' " or "package '<path>' "
  } cases[] = {
      {"empty", {}, "is not a quarn package: not an SQLite database"},
      {"text", {'h', 'e', 'l', 'l', 'o', '\n'}, "is not a quarn package: not an SQLite database"},
      {"header only", std::vector<char>(bytes.begin(), bytes.begin() + 50),
       "is truncated: 50 of at least 100 bytes"},
      {"half",
       std::vector<char>(bytes.begin(), bytes.begin() + static_cast<long>(bytes.size() / 2)),
       "is truncated: " + std::to_string(bytes.size() / 2) + " of " + std::to_string(bytes.size()) +
           " bytes"},
      // SQLite keeps the application id at byte 68 and the schema version at byte 60.
      {"foreign", patched(68, {0, 0, 0, 1}),
       "is not a quarn package: an SQLite database of another application"},
      {"other version", patched(60, {0, 0, 0, 2}),
       "has schema version 2; this build reads version 1"},
      {"garbage page", garbage_page, "is corrupt: "},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    const auto path = directory / (std::string(test.name) + ".quarn");
    write_bytes(path, test.contents);
    const auto read = read_application_package(path);
    ASSERT_FALSE(read);
    EXPECT_THAT(read.error().message, HasSubstr("'" + path.string() + "' " + test.message));
  }

  const auto missing = read_application_package(directory / "missing.quarn");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message,
            "cannot open package '" + (directory / "missing.quarn").string() + "': no such file");
  const auto folder = read_application_package(directory.path());
  ASSERT_FALSE(folder);
  EXPECT_THAT(folder.error().message, HasSubstr("': not a regular file"));
}

// Applies `sql` to a package with SQLite directly, as a damaged or hand-edited file would be.
void alter(const std::filesystem::path& path, const std::string& sql) {
  sqlite3* database = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &database), SQLITE_OK);
  char* error = nullptr;
  const int code = sqlite3_exec(database, sql.c_str(), nullptr, nullptr, &error);
  const std::string message = error != nullptr ? error : "";
  sqlite3_free(error);
  sqlite3_close(database);
  ASSERT_EQ(code, SQLITE_OK) << message;
}

TEST(ApplicationPackage, DamagedValuesAreReportedWithTheirPlace) {
  TemporaryDirectory directory("quarn-package-damaged");
  const struct {
    const char* sql;
    const char* detail;
  } cases[] = {
      {"UPDATE profile_steps SET kind = 'Sleep' WHERE id = 2",
       "invalid kind in profile_steps row 2"},
      {"UPDATE profile_steps SET metadata = '[[\"role\"]]' WHERE id = 0",
       "invalid metadata in profile_steps row 0"},
      {"UPDATE profile_steps SET metadata = '[0,999]' WHERE id = 2",
       "invalid metadata in profile_steps row 2"},
      {"UPDATE profile_metadata_entries SET value = x'00' WHERE id = 1",
       "invalid value in profile_metadata_entries row 1"},
      {"UPDATE profile_steps SET phase = -1 WHERE id = 1", "invalid phase in profile_steps row 1"},
      {"UPDATE profile_steps SET tile_position = 3 WHERE id = 1",
       "invalid tile_position in profile_steps row 1"},
      {"UPDATE binding_slices SET tile = 4294967296 WHERE id = 0",
       "invalid tile in binding_slices row 0"},
      {"UPDATE binding_slices SET binding = 99 WHERE id = 1",
       "invalid binding in binding_slices row 1"},
      {"UPDATE bindings SET role = 'input' WHERE id = 0", "invalid role in bindings row 0"},
      {"UPDATE bindings SET shape = '[1,-2]' WHERE id = 1", "invalid shape in bindings row 1"},
      {"UPDATE profile_samples SET step = 1000 WHERE id = 0",
       "invalid step in profile_samples row 0"},
      {"UPDATE profile_samples SET end_cycle = 'late' WHERE id = 2",
       "invalid end_cycle in profile_samples row 2"},
      {"UPDATE memory_tiles SET physical_tile = 70000 WHERE position = 1",
       "invalid physical_tile in memory_tiles row 1"},
      {"UPDATE memory_regions SET name = x'41' WHERE id = 0",
       "invalid name in memory_regions row 0"},
      {"UPDATE memory_regions SET tile_position = 2 WHERE id = 0",
       "invalid tile_position in memory_regions row 0"},
      {"DELETE FROM profile_samples WHERE id = 1",
       "profile_samples rows are not numbered in order"},
      {"INSERT INTO package_info VALUES (1, 0, 0, 0)", "package_info has more than one row"},
      {"DELETE FROM package_info", "package_info has no row"},
      {"DROP TABLE memory_regions", "no such table: memory_regions"},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.sql);
    const auto path = directory / "damaged.quarn";
    ASSERT_TRUE(write_application_package(small_package(), path));
    alter(path, test.sql);
    const auto read = read_application_package(path);
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error().message, "package '" + path.string() + "' is corrupt: " + test.detail);
  }
}

TEST(PackageText, NumberListsDecodeOnlyTheirOwnForm) {
  std::vector<std::uint32_t> numbers;
  EXPECT_EQ(text::encode_numbers({1024, 3}), "[1024,3]");
  EXPECT_EQ(text::encode_numbers({}), "[]");
  // Other writers' spacing is read too.
  ASSERT_TRUE(text::decode_numbers(" [ 1024 ,3 ] ", numbers));
  EXPECT_EQ(numbers, (std::vector<std::uint32_t>{1024, 3}));
  ASSERT_TRUE(text::decode_numbers("[]", numbers));
  EXPECT_TRUE(numbers.empty());
  ASSERT_TRUE(text::decode_numbers("[0,4294967295]", numbers));
  EXPECT_EQ(numbers, (std::vector<std::uint32_t>{0, 4294967295u}));
  for (const char* bad : {"", "[", "]", "[4294967296]", "[01]", "[-1]", "[1,]", "[,1]", "[1 2]",
                          "[1.5]", "[\"1\"]", "[1]]", "[1] x", "{}"}) {
    EXPECT_FALSE(text::decode_numbers(bad, numbers)) << bad;
  }
}

}  // namespace
