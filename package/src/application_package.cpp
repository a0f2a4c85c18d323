#include "quarn/package/application_package.hpp"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <limits>
#include <optional>
#include <unordered_map>
#include <utility>

#include "package_text.hpp"
#include "quarn/support/format.hpp"
#include "quarn/support/narrow.hpp"
#include "sqlite.hpp"

namespace quarn::package {

namespace {

using support::format;

// The tables, in the order the writer fills them. Integers that the records hold as unsigned
// 64-bit values are stored as the signed 64-bit integer with the same bits.
constexpr std::string_view SCHEMA[] = {
    "CREATE TABLE package_info (schema_version INTEGER NOT NULL, clock_hz INTEGER NOT NULL, "
    "memory_base INTEGER NOT NULL, memory_size INTEGER NOT NULL)",
    "CREATE TABLE bindings (id INTEGER PRIMARY KEY, role TEXT NOT NULL, name TEXT NOT NULL, "
    "dtype TEXT NOT NULL, shape TEXT NOT NULL)",
    "CREATE TABLE binding_slices (id INTEGER PRIMARY KEY, binding INTEGER NOT NULL "
    "REFERENCES bindings(id), tile INTEGER NOT NULL, tile_address INTEGER NOT NULL, "
    "file_offset INTEGER NOT NULL, size INTEGER NOT NULL)",
    // Every distinct (name, value) metadata entry once; a step lists its entries by id.
    "CREATE TABLE profile_metadata_entries (id INTEGER PRIMARY KEY, name TEXT NOT NULL, "
    "value TEXT NOT NULL)",
    "CREATE TABLE profile_step_tiles (position INTEGER PRIMARY KEY, "
    "physical_tile INTEGER NOT NULL)",
    "CREATE TABLE profile_steps (id INTEGER PRIMARY KEY, tile_position INTEGER "
    "REFERENCES profile_step_tiles(position), local_index INTEGER NOT NULL, "
    "phase INTEGER NOT NULL, epoch INTEGER NOT NULL, operation TEXT NOT NULL, "
    "kind TEXT NOT NULL, kernel TEXT NOT NULL, metadata TEXT NOT NULL)",
    "CREATE TABLE profile_sample_tiles (position INTEGER PRIMARY KEY, "
    "physical_tile INTEGER NOT NULL)",
    "CREATE TABLE profile_samples (id INTEGER PRIMARY KEY, tile_position INTEGER NOT NULL "
    "REFERENCES profile_sample_tiles(position), step INTEGER NOT NULL "
    "REFERENCES profile_steps(id), start_cycle INTEGER NOT NULL, end_cycle INTEGER NOT NULL)",
    "CREATE TABLE memory_tiles (position INTEGER PRIMARY KEY, logical_tile INTEGER NOT NULL, "
    "physical_tile INTEGER NOT NULL)",
    "CREATE TABLE memory_regions (id INTEGER PRIMARY KEY, tile_position INTEGER NOT NULL "
    "REFERENCES memory_tiles(position), address INTEGER NOT NULL, size INTEGER NOT NULL, "
    "category TEXT NOT NULL, name TEXT NOT NULL, tensor INTEGER, live_from INTEGER NOT NULL, "
    "live_until INTEGER NOT NULL)",
    // Every sample with its tile, step and duration; counters wrap at 2^32.
    "CREATE VIEW sample_cycles AS SELECT t.physical_tile AS physical_tile, s.id AS sample, "
    "p.local_index AS local_index, p.phase AS phase, p.operation AS operation, p.kind AS kind, "
    "p.kernel AS kernel, s.start_cycle AS start_cycle, s.end_cycle AS end_cycle, "
    "((s.end_cycle - s.start_cycle) & 4294967295) AS cycles FROM profile_samples s "
    "JOIN profile_sample_tiles t ON t.position = s.tile_position "
    "JOIN profile_steps p ON p.id = s.step",
    // Every step's metadata entries in order, one row each.
    "CREATE VIEW profile_step_metadata AS SELECT s.id AS step, j.key AS position, "
    "e.name AS name, e.value AS value FROM profile_steps s, json_each(s.metadata) j "
    "JOIN profile_metadata_entries e ON e.id = j.value",
};

// The binding lists in storage order with their role texts.
constexpr std::array<std::string_view, 4> ROLES = {"output", "host_weight", "host_input",
                                                   "host_output"};

std::array<std::vector<Binding>*, 4> binding_lists(ApplicationPackage& package) {
  return {&package.outputs, &package.host_weights, &package.host_inputs, &package.host_outputs};
}
std::array<const std::vector<Binding>*, 4> binding_lists(const ApplicationPackage& package) {
  return {&package.outputs, &package.host_weights, &package.host_inputs, &package.host_outputs};
}

constexpr std::array<ProfileStepKind, 4> KINDS = {
    ProfileStepKind::Exchange, ProfileStepKind::Compute, ProfileStepKind::Synchronization,
    ProfileStepKind::Idle};

std::int64_t stored(std::uint64_t value) {
  return std::bit_cast<std::int64_t>(value);
}

std::string errno_text(int error) {
  return std::string(std::strerror(error));
}

// ---------------------------------------------------------------------------------------------
// Writing

// Removes the temporary file unless it was renamed into place.
class TemporaryFile {
 public:
  explicit TemporaryFile(std::filesystem::path path) : path_(std::move(path)) {}
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    if (!kept_) {
      std::error_code ignored;
      std::filesystem::remove(path_, ignored);
    }
  }
  const std::filesystem::path& path() const { return path_; }
  void keep() { kept_ = true; }

 private:
  std::filesystem::path path_;
  bool kept_ = false;
};

class Writer {
 public:
  Writer(sqlite::Database& database, const PackageWriteOptions& options, std::string path)
      : database_(database), options_(options), path_(std::move(path)) {}

  PackageResult<void> write(const ApplicationPackage& package) {
    if (auto done = execute("BEGIN"); !done) return done;
    for (const auto sql : SCHEMA) {
      if (auto done = execute(sql); !done) return done;
    }
    if (auto done = write_info(package); !done) return done;
    if (auto done = write_bindings(package); !done) return done;
    if (auto done = write_profile(package); !done) return done;
    if (auto done = write_memory(package.memory_profile); !done) return done;
    return execute("COMMIT");
  }

 private:
  PackageResult<void> failed(std::string_view what, const std::string& message) const {
    return std::unexpected(
        PackageError{format("cannot write package '{}': {}: {}", path_, what, message)});
  }
  PackageResult<void> execute(std::string_view sql) {
    if (auto done = database_.execute(sql); !done) return failed("sql", done.error());
    return {};
  }
  PackageResult<sqlite::Statement> prepare(std::string_view sql) {
    auto statement = database_.prepare(sql);
    if (!statement) {
      return std::unexpected(
          PackageError{format("cannot write package '{}': {}", path_, statement.error())});
    }
    return std::move(*statement);
  }
  PackageResult<void> checkpoint(std::string_view stage) {
    if (options_.checkpoint) return options_.checkpoint(stage);
    return {};
  }

  // Binds `values` to parameters 1, 2, ... and runs the statement once.
  template <typename... Values>
  PackageResult<void> insert(sqlite::Statement& statement, std::string_view table,
                             const Values&... values) {
    int index = 0;
    sqlite::Expected<void> bound;
    ((bound = bound ? bind(statement, ++index, values) : bound), ...);
    if (bound) bound = statement.run();
    if (!bound) return failed(table, bound.error());
    return {};
  }
  static sqlite::Expected<void> bind(sqlite::Statement& statement, int index, std::int64_t value) {
    return statement.bind(index, value);
  }
  static sqlite::Expected<void> bind(sqlite::Statement& statement, int index,
                                     std::string_view value) {
    return statement.bind(index, value);
  }
  static sqlite::Expected<void> bind(sqlite::Statement& statement, int index,
                                     const std::optional<std::int64_t>& value) {
    return value ? statement.bind(index, *value) : statement.bind_null(index);
  }

  PackageResult<void> write_info(const ApplicationPackage& package) {
    auto statement = prepare("INSERT INTO package_info VALUES (?, ?, ?, ?)");
    if (!statement) return std::unexpected(statement.error());
    if (auto done = insert(*statement, "package_info", PACKAGE_SCHEMA_VERSION,
                           stored(package.profile_report.clock_hz),
                           std::int64_t{package.memory_profile.memory_base},
                           std::int64_t{package.memory_profile.memory_size});
        !done) {
      return done;
    }
    return checkpoint("package_info");
  }

  PackageResult<void> write_bindings(const ApplicationPackage& package) {
    auto binding = prepare("INSERT INTO bindings VALUES (?, ?, ?, ?, ?)");
    if (!binding) return std::unexpected(binding.error());
    auto slice = prepare("INSERT INTO binding_slices VALUES (?, ?, ?, ?, ?, ?)");
    if (!slice) return std::unexpected(slice.error());
    std::int64_t binding_id = 0;
    std::int64_t slice_id = 0;
    const auto lists = binding_lists(package);
    for (std::size_t role = 0; role < lists.size(); ++role) {
      for (const Binding& entry : *lists[role]) {
        if (auto done = insert(*binding, "bindings", binding_id, ROLES[role],
                               std::string_view(entry.name), std::string_view(entry.dtype),
                               std::string_view(text::encode_numbers(entry.shape)));
            !done) {
          return done;
        }
        for (const RegionSlice& piece : entry.slices) {
          if (auto done = insert(*slice, "binding_slices", slice_id++, binding_id,
                                 std::int64_t{piece.tile}, std::int64_t{piece.tile_address},
                                 stored(piece.file_offset), stored(piece.size));
              !done) {
            return done;
          }
        }
        ++binding_id;
      }
    }
    if (auto done = checkpoint("bindings"); !done) return done;
    return checkpoint("binding_slices");
  }

  // Gives each distinct metadata entry an id, inserting it on first sight, and fills
  // `entry_ids_` with the ids of `metadata` in order.
  PackageResult<void> intern_metadata(const std::vector<ProfileMetadata>& metadata) {
    entry_ids_.clear();
    for (const ProfileMetadata& entry : metadata) {
      // Length-prefixed, so that no two different entries share a key.
      entry_key_.clear();
      support::append_decimal(entry_key_, entry.name.size());
      entry_key_.push_back(':');
      entry_key_.append(entry.name);
      entry_key_.append(entry.value);
      auto found = entry_id_.find(entry_key_);
      if (found == entry_id_.end()) {
        const auto id = support::checked_narrow<std::uint32_t>(entry_id_.size());
        if (!id) return failed("profile_metadata_entries", "too many distinct entries");
        if (auto done = insert(*entry_statement_, "profile_metadata_entries", std::int64_t{*id},
                               std::string_view(entry.name), std::string_view(entry.value));
            !done) {
          return done;
        }
        found = entry_id_.emplace(entry_key_, *id).first;
      }
      entry_ids_.push_back(found->second);
    }
    return {};
  }

  PackageResult<void> insert_step(sqlite::Statement& statement, std::int64_t id,
                                  std::optional<std::int64_t> tile_position,
                                  const ProfileStep& step) {
    if (auto done = intern_metadata(step.metadata); !done) return done;
    metadata_text_.clear();
    text::append_numbers(metadata_text_, entry_ids_);
    const std::string kind = to_string(step.kind);
    return insert(statement, "profile_steps", id, tile_position, std::int64_t{step.local_index},
                  std::int64_t{step.phase}, std::int64_t{step.epoch},
                  std::string_view(step.operation), std::string_view(kind),
                  std::string_view(step.kernel), std::string_view(metadata_text_));
  }

  PackageResult<void> write_profile(const ApplicationPackage& package) {
    auto step_tile = prepare("INSERT INTO profile_step_tiles VALUES (?, ?)");
    if (!step_tile) return std::unexpected(step_tile.error());
    auto step = prepare("INSERT INTO profile_steps VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)");
    if (!step) return std::unexpected(step.error());
    auto sample_tile = prepare("INSERT INTO profile_sample_tiles VALUES (?, ?)");
    if (!sample_tile) return std::unexpected(sample_tile.error());
    auto sample = prepare("INSERT INTO profile_samples VALUES (?, ?, ?, ?, ?)");
    if (!sample) return std::unexpected(sample.error());
    auto entry = prepare("INSERT INTO profile_metadata_entries VALUES (?, ?, ?)");
    if (!entry) return std::unexpected(entry.error());
    entry_statement_ = &*entry;

    // Steps of the per-tile lists get ids in list order; the first list of each physical tile
    // is the one its samples are matched against.
    std::vector<std::int64_t> first_step_id(package.profile_steps.size());
    std::unordered_map<std::uint32_t, std::size_t> list_of_tile;
    std::int64_t step_id = 0;
    for (std::size_t position = 0; position < package.profile_steps.size(); ++position) {
      const ProfileTileSteps& list = package.profile_steps[position];
      list_of_tile.emplace(list.physical_tile, position);
      if (auto done = insert(*step_tile, "profile_step_tiles", static_cast<std::int64_t>(position),
                             std::int64_t{list.physical_tile});
          !done) {
        return done;
      }
      first_step_id[position] = step_id;
      for (const ProfileStep& entry : list.steps) {
        if (auto done = insert_step(*step, step_id++, static_cast<std::int64_t>(position), entry);
            !done) {
          return done;
        }
      }
    }
    if (auto done = checkpoint("profile_step_tiles"); !done) return done;

    // A sample whose step equals the listed step at its position refers to it; any other sample
    // step is stored as a step of no list.
    std::int64_t sample_id = 0;
    const auto& tiles = package.profile_report.tiles;
    for (std::size_t position = 0; position < tiles.size(); ++position) {
      const TileProfile& tile = tiles[position];
      if (auto done = insert(*sample_tile, "profile_sample_tiles",
                             static_cast<std::int64_t>(position), std::int64_t{tile.physical_tile});
          !done) {
        return done;
      }
      const auto found = list_of_tile.find(tile.physical_tile);
      const ProfileTileSteps* list =
          found == list_of_tile.end() ? nullptr : &package.profile_steps[found->second];
      for (std::size_t index = 0; index < tile.samples.size(); ++index) {
        const CycleSample& entry = tile.samples[index];
        std::int64_t reference = 0;
        if (list != nullptr && index < list->steps.size() && list->steps[index] == entry.step) {
          reference = first_step_id[found->second] + static_cast<std::int64_t>(index);
        } else {
          reference = step_id++;
          if (auto done = insert_step(*step, reference, std::nullopt, entry.step); !done) {
            return done;
          }
        }
        if (auto done =
                insert(*sample, "profile_samples", sample_id++, static_cast<std::int64_t>(position),
                       reference, std::int64_t{entry.start_cycle}, std::int64_t{entry.end_cycle});
            !done) {
          return done;
        }
      }
    }
    if (auto done = checkpoint("profile_metadata_entries"); !done) return done;
    if (auto done = checkpoint("profile_steps"); !done) return done;
    if (auto done = checkpoint("profile_sample_tiles"); !done) return done;
    return checkpoint("profile_samples");
  }

  PackageResult<void> write_memory(const memory_profile::MemoryProfile& profile) {
    auto tile = prepare("INSERT INTO memory_tiles VALUES (?, ?, ?)");
    if (!tile) return std::unexpected(tile.error());
    auto region = prepare("INSERT INTO memory_regions VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)");
    if (!region) return std::unexpected(region.error());
    std::int64_t region_id = 0;
    for (std::size_t position = 0; position < profile.tiles.size(); ++position) {
      const memory_profile::TileMemory& entry = profile.tiles[position];
      const auto tile_position = static_cast<std::int64_t>(position);
      if (auto done = insert(*tile, "memory_tiles", tile_position, std::int64_t{entry.logical_tile},
                             std::int64_t{entry.physical_tile});
          !done) {
        return done;
      }
      for (const memory_profile::MemoryRegion& piece : entry.regions) {
        std::optional<std::int64_t> tensor;
        if (piece.tensor) tensor = stored(*piece.tensor);
        if (auto done = insert(*region, "memory_regions", region_id++, tile_position,
                               std::int64_t{piece.address}, std::int64_t{piece.size},
                               std::string_view(piece.category), std::string_view(piece.name),
                               tensor, stored(piece.live_from), stored(piece.live_until));
            !done) {
          return done;
        }
      }
    }
    if (auto done = checkpoint("memory_tiles"); !done) return done;
    return checkpoint("memory_regions");
  }

  sqlite::Database& database_;
  const PackageWriteOptions& options_;
  std::string path_;
  // Metadata interning: the statement that inserts a new entry, the id of every entry seen,
  // and buffers reused from step to step.
  sqlite::Statement* entry_statement_ = nullptr;
  std::unordered_map<std::string, std::uint32_t> entry_id_;
  std::string entry_key_;
  std::vector<std::uint32_t> entry_ids_;
  std::string metadata_text_;
};

PackageResult<void> sync_path(const std::filesystem::path& path, int flags, std::string_view what,
                              const std::string& package_path) {
  const int descriptor = ::open(path.c_str(), flags | O_CLOEXEC);
  if (descriptor < 0) {
    return std::unexpected(PackageError{
        format("cannot write package '{}': {}: {}", package_path, what, errno_text(errno))});
  }
  const bool synced = ::fsync(descriptor) == 0;
  const int error = errno;
  ::close(descriptor);
  if (!synced) {
    return std::unexpected(PackageError{
        format("cannot write package '{}': {}: {}", package_path, what, errno_text(error))});
  }
  return {};
}

// ---------------------------------------------------------------------------------------------
// Reading

class Reader {
 public:
  Reader(sqlite::Database& database, std::string path)
      : database_(database), path_(std::move(path)) {}

  PackageResult<ApplicationPackage> read() {
    if (auto done = check_identity(); !done) return std::unexpected(done.error());
    ApplicationPackage package;
    if (auto done = read_info(package); !done) return std::unexpected(done.error());
    if (auto done = read_bindings(package); !done) return std::unexpected(done.error());
    if (auto done = read_profile(package); !done) return std::unexpected(done.error());
    if (auto done = read_memory(package.memory_profile); !done) {
      return std::unexpected(done.error());
    }
    return package;
  }

 private:
  std::unexpected<PackageError> corrupt(std::string_view detail) const {
    return std::unexpected(PackageError{format("package '{}' is corrupt: {}", path_, detail)});
  }
  std::unexpected<PackageError> bad_value(std::string_view table, std::string_view column,
                                          std::int64_t row) const {
    return corrupt(format("invalid {} in {} row {}", column, table, row));
  }

  PackageResult<sqlite::Statement> prepare(std::string_view sql) {
    auto statement = database_.prepare(sql);
    if (!statement) return corrupt(statement.error());
    return std::move(*statement);
  }
  PackageResult<bool> step(sqlite::Statement& statement) {
    auto row = statement.step();
    if (!row) return corrupt(row.error());
    return *row;
  }

  PackageResult<std::int64_t> pragma(std::string_view sql) {
    auto statement = database_.prepare(sql);
    if (!statement) return not_a_package(statement.error());
    auto row = statement->step();
    if (!row) return not_a_package(row.error());
    if (!*row || statement->column_type(0) != SQLITE_INTEGER) {
      return not_a_package("unreadable header");
    }
    return statement->column_int64(0);
  }
  std::unexpected<PackageError> not_a_package(std::string_view detail) const {
    return std::unexpected(PackageError{format("'{}' is not a quarn package: {}", path_, detail)});
  }

  PackageResult<void> check_identity() {
    const auto application_id = pragma("PRAGMA application_id");
    if (!application_id) return std::unexpected(application_id.error());
    if (*application_id != PACKAGE_APPLICATION_ID) {
      return not_a_package("an SQLite database of another application");
    }
    const auto version = pragma("PRAGMA user_version");
    if (!version) return std::unexpected(version.error());
    if (*version != PACKAGE_SCHEMA_VERSION) {
      return std::unexpected(
          PackageError{format("package '{}' has schema version {}; this build reads version {}",
                              path_, *version, PACKAGE_SCHEMA_VERSION)});
    }
    // A structural check of every page: damage that the reads below would not notice (a broken
    // index, a bad free list) is reported before any record is trusted.
    auto check = prepare("PRAGMA quick_check(1)");
    if (!check) return std::unexpected(check.error());
    auto row = step(*check);
    if (!row) return std::unexpected(row.error());
    if (!*row || check->column_type(0) != SQLITE_TEXT) return corrupt("integrity check failed");
    if (check->column_text(0) != "ok") return corrupt(check->column_text(0));
    return {};
  }

  // Column readers: each checks the stored type and the range of the record's field.
  static std::optional<std::int64_t> integer(const sqlite::Statement& row, int column) {
    if (row.column_type(column) != SQLITE_INTEGER) return std::nullopt;
    return row.column_int64(column);
  }
  template <typename Unsigned>
  static std::optional<Unsigned> narrow(const sqlite::Statement& row, int column) {
    const auto value = integer(row, column);
    if (!value || !std::in_range<Unsigned>(*value)) return std::nullopt;
    return static_cast<Unsigned>(*value);
  }
  static std::optional<std::uint64_t> wide(const sqlite::Statement& row, int column) {
    const auto value = integer(row, column);
    if (!value) return std::nullopt;
    return std::bit_cast<std::uint64_t>(*value);
  }
  static std::optional<std::string> text_column(const sqlite::Statement& row, int column) {
    if (row.column_type(column) != SQLITE_TEXT) return std::nullopt;
    return std::string(row.column_text(column));
  }

  PackageResult<void> read_info(ApplicationPackage& package) {
    auto statement = prepare(
        "SELECT schema_version, clock_hz, memory_base, memory_size, rowid FROM package_info");
    if (!statement) return std::unexpected(statement.error());
    auto row = step(*statement);
    if (!row) return std::unexpected(row.error());
    if (!*row) return corrupt("package_info has no row");
    const auto version = integer(*statement, 0);
    const auto clock_hz = wide(*statement, 1);
    const auto base = narrow<std::uint32_t>(*statement, 2);
    const auto size = narrow<std::uint32_t>(*statement, 3);
    if (!version || *version != PACKAGE_SCHEMA_VERSION || !clock_hz || !base || !size) {
      return corrupt("invalid package_info row");
    }
    package.profile_report.clock_hz = *clock_hz;
    package.memory_profile.memory_base = *base;
    package.memory_profile.memory_size = *size;
    row = step(*statement);
    if (!row) return std::unexpected(row.error());
    if (*row) return corrupt("package_info has more than one row");
    return {};
  }

  // Checks that row ids run 0, 1, 2, ... so that positions and references are exact.
  PackageResult<std::int64_t> row_id(const sqlite::Statement& row, std::string_view table,
                                     std::int64_t expected) const {
    const auto id = integer(row, 0);
    if (!id || *id != expected) return corrupt(format("{} rows are not numbered in order", table));
    return *id;
  }

  PackageResult<void> read_bindings(ApplicationPackage& package) {
    const auto lists = binding_lists(package);
    // For each binding id, the list and position it was read into.
    std::vector<std::pair<std::size_t, std::size_t>> where;
    auto binding = prepare("SELECT id, role, name, dtype, shape FROM bindings ORDER BY id");
    if (!binding) return std::unexpected(binding.error());
    for (std::int64_t id = 0;; ++id) {
      auto row = step(*binding);
      if (!row) return std::unexpected(row.error());
      if (!*row) break;
      if (auto checked = row_id(*binding, "bindings", id); !checked) {
        return std::unexpected(checked.error());
      }
      const auto role = text_column(*binding, 1);
      std::size_t list = ROLES.size();
      for (std::size_t r = 0; role && r < ROLES.size(); ++r) {
        if (*role == ROLES[r]) list = r;
      }
      if (list == ROLES.size()) return bad_value("bindings", "role", id);
      auto name = text_column(*binding, 2);
      auto dtype = text_column(*binding, 3);
      if (!name) return bad_value("bindings", "name", id);
      if (!dtype) return bad_value("bindings", "dtype", id);
      std::vector<std::uint32_t> shape;
      if (binding->column_type(4) != SQLITE_TEXT ||
          !text::decode_numbers(binding->column_text(4), shape)) {
        return bad_value("bindings", "shape", id);
      }
      where.emplace_back(list, lists[list]->size());
      lists[list]->push_back(Binding{std::move(*name), std::move(*dtype), std::move(shape), {}});
    }

    auto slice = prepare(
        "SELECT id, binding, tile, tile_address, file_offset, size FROM binding_slices "
        "ORDER BY id");
    if (!slice) return std::unexpected(slice.error());
    for (std::int64_t id = 0;; ++id) {
      auto row = step(*slice);
      if (!row) return std::unexpected(row.error());
      if (!*row) break;
      if (auto checked = row_id(*slice, "binding_slices", id); !checked) {
        return std::unexpected(checked.error());
      }
      const auto owner = narrow<std::size_t>(*slice, 1);
      if (!owner || *owner >= where.size()) return bad_value("binding_slices", "binding", id);
      const auto tile = narrow<std::uint32_t>(*slice, 2);
      const auto address = narrow<std::uint32_t>(*slice, 3);
      const auto offset = wide(*slice, 4);
      const auto size = wide(*slice, 5);
      if (!tile) return bad_value("binding_slices", "tile", id);
      if (!address) return bad_value("binding_slices", "tile_address", id);
      if (!offset) return bad_value("binding_slices", "file_offset", id);
      if (!size) return bad_value("binding_slices", "size", id);
      const auto [list, position] = where[*owner];
      (*lists[list])[position].slices.push_back(RegionSlice{*tile, *address, *offset, *size});
    }
    return {};
  }

  // Reads the physical tiles of a tile table whose rows are numbered 0, 1, 2, ...
  PackageResult<std::vector<std::uint32_t>> read_tiles(std::string_view sql,
                                                       std::string_view table) {
    std::vector<std::uint32_t> tiles;
    auto statement = prepare(sql);
    if (!statement) return std::unexpected(statement.error());
    for (std::int64_t id = 0;; ++id) {
      auto row = step(*statement);
      if (!row) return std::unexpected(row.error());
      if (!*row) break;
      if (auto checked = row_id(*statement, table, id); !checked) {
        return std::unexpected(checked.error());
      }
      const auto tile = narrow<std::uint32_t>(*statement, 1);
      if (!tile) return bad_value(table, "physical_tile", id);
      tiles.push_back(*tile);
    }
    return tiles;
  }

  PackageResult<void> read_profile(ApplicationPackage& package) {
    const auto step_tiles =
        read_tiles("SELECT position, physical_tile FROM profile_step_tiles ORDER BY position",
                   "profile_step_tiles");
    if (!step_tiles) return std::unexpected(step_tiles.error());
    package.profile_steps.reserve(step_tiles->size());
    for (const std::uint32_t tile : *step_tiles) {
      package.profile_steps.push_back(ProfileTileSteps{tile, {}});
    }

    std::vector<ProfileMetadata> entries;
    auto dictionary = prepare("SELECT id, name, value FROM profile_metadata_entries ORDER BY id");
    if (!dictionary) return std::unexpected(dictionary.error());
    for (std::int64_t id = 0;; ++id) {
      auto row = step(*dictionary);
      if (!row) return std::unexpected(row.error());
      if (!*row) break;
      if (auto checked = row_id(*dictionary, "profile_metadata_entries", id); !checked) {
        return std::unexpected(checked.error());
      }
      auto name = text_column(*dictionary, 1);
      auto value = text_column(*dictionary, 2);
      if (!name) return bad_value("profile_metadata_entries", "name", id);
      if (!value) return bad_value("profile_metadata_entries", "value", id);
      entries.push_back(ProfileMetadata{std::move(*name), std::move(*value)});
    }

    // Every stored step by id, and the list each one belongs to (none for sample-only steps).
    std::vector<ProfileStep> steps;
    std::vector<std::uint32_t> entry_ids;
    std::vector<std::optional<std::size_t>> step_list;
    auto statement = prepare(
        "SELECT id, tile_position, local_index, phase, epoch, operation, kind, kernel, metadata "
        "FROM profile_steps ORDER BY id");
    if (!statement) return std::unexpected(statement.error());
    for (std::int64_t id = 0;; ++id) {
      auto row = step(*statement);
      if (!row) return std::unexpected(row.error());
      if (!*row) break;
      if (auto checked = row_id(*statement, "profile_steps", id); !checked) {
        return std::unexpected(checked.error());
      }
      std::optional<std::size_t> list;
      if (statement->column_type(1) != SQLITE_NULL) {
        list = narrow<std::size_t>(*statement, 1);
        if (!list || *list >= step_tiles->size()) {
          return bad_value("profile_steps", "tile_position", id);
        }
      }
      ProfileStep entry;
      const auto local_index = narrow<std::uint32_t>(*statement, 2);
      const auto phase = narrow<std::uint32_t>(*statement, 3);
      const auto epoch = narrow<std::uint32_t>(*statement, 4);
      auto operation = text_column(*statement, 5);
      const auto kind = text_column(*statement, 6);
      auto kernel = text_column(*statement, 7);
      const bool has_metadata = statement->column_type(8) == SQLITE_TEXT;
      if (!local_index) return bad_value("profile_steps", "local_index", id);
      if (!phase) return bad_value("profile_steps", "phase", id);
      if (!epoch) return bad_value("profile_steps", "epoch", id);
      if (!operation) return bad_value("profile_steps", "operation", id);
      if (!kernel) return bad_value("profile_steps", "kernel", id);
      bool known_kind = false;
      for (const ProfileStepKind candidate : KINDS) {
        if (kind && *kind == to_string(candidate)) {
          entry.kind = candidate;
          known_kind = true;
        }
      }
      if (!known_kind) return bad_value("profile_steps", "kind", id);
      if (!has_metadata || !text::decode_numbers(statement->column_text(8), entry_ids)) {
        return bad_value("profile_steps", "metadata", id);
      }
      entry.metadata.reserve(entry_ids.size());
      for (const std::uint32_t entry_id : entry_ids) {
        if (entry_id >= entries.size()) return bad_value("profile_steps", "metadata", id);
        entry.metadata.push_back(entries[entry_id]);
      }
      entry.local_index = *local_index;
      entry.phase = *phase;
      entry.epoch = *epoch;
      entry.operation = std::move(*operation);
      entry.kernel = std::move(*kernel);
      steps.push_back(std::move(entry));
      step_list.push_back(list);
    }

    const auto sample_tiles =
        read_tiles("SELECT position, physical_tile FROM profile_sample_tiles ORDER BY position",
                   "profile_sample_tiles");
    if (!sample_tiles) return std::unexpected(sample_tiles.error());
    auto& tiles = package.profile_report.tiles;
    tiles.reserve(sample_tiles->size());
    for (const std::uint32_t tile : *sample_tiles) tiles.push_back(TileProfile{tile, {}});

    auto sample = prepare(
        "SELECT id, tile_position, step, start_cycle, end_cycle FROM profile_samples ORDER BY id");
    if (!sample) return std::unexpected(sample.error());
    for (std::int64_t id = 0;; ++id) {
      auto row = step(*sample);
      if (!row) return std::unexpected(row.error());
      if (!*row) break;
      if (auto checked = row_id(*sample, "profile_samples", id); !checked) {
        return std::unexpected(checked.error());
      }
      const auto tile = narrow<std::size_t>(*sample, 1);
      const auto reference = narrow<std::size_t>(*sample, 2);
      const auto start = narrow<std::uint32_t>(*sample, 3);
      const auto end = narrow<std::uint32_t>(*sample, 4);
      if (!tile || *tile >= tiles.size()) return bad_value("profile_samples", "tile_position", id);
      if (!reference || *reference >= steps.size()) return bad_value("profile_samples", "step", id);
      if (!start) return bad_value("profile_samples", "start_cycle", id);
      if (!end) return bad_value("profile_samples", "end_cycle", id);
      tiles[*tile].samples.push_back(CycleSample{steps[*reference], *start, *end});
    }

    // The listed steps move into their lists, in id order.
    for (std::size_t id = 0; id < steps.size(); ++id) {
      if (step_list[id])
        package.profile_steps[*step_list[id]].steps.push_back(std::move(steps[id]));
    }
    return {};
  }

  PackageResult<void> read_memory(memory_profile::MemoryProfile& profile) {
    auto tile =
        prepare("SELECT position, logical_tile, physical_tile FROM memory_tiles ORDER BY position");
    if (!tile) return std::unexpected(tile.error());
    for (std::int64_t id = 0;; ++id) {
      auto row = step(*tile);
      if (!row) return std::unexpected(row.error());
      if (!*row) break;
      if (auto checked = row_id(*tile, "memory_tiles", id); !checked) {
        return std::unexpected(checked.error());
      }
      const auto logical = narrow<std::uint16_t>(*tile, 1);
      const auto physical = narrow<std::uint16_t>(*tile, 2);
      if (!logical) return bad_value("memory_tiles", "logical_tile", id);
      if (!physical) return bad_value("memory_tiles", "physical_tile", id);
      profile.tiles.push_back(memory_profile::TileMemory{*logical, *physical, {}});
    }

    auto region = prepare(
        "SELECT id, tile_position, address, size, category, name, tensor, live_from, live_until "
        "FROM memory_regions ORDER BY id");
    if (!region) return std::unexpected(region.error());
    for (std::int64_t id = 0;; ++id) {
      auto row = step(*region);
      if (!row) return std::unexpected(row.error());
      if (!*row) break;
      if (auto checked = row_id(*region, "memory_regions", id); !checked) {
        return std::unexpected(checked.error());
      }
      const auto position = narrow<std::size_t>(*region, 1);
      if (!position || *position >= profile.tiles.size()) {
        return bad_value("memory_regions", "tile_position", id);
      }
      memory_profile::MemoryRegion entry;
      const auto address = narrow<std::uint32_t>(*region, 2);
      const auto size = narrow<std::uint32_t>(*region, 3);
      auto category = text_column(*region, 4);
      auto name = text_column(*region, 5);
      const auto live_from = wide(*region, 7);
      const auto live_until = wide(*region, 8);
      if (!address) return bad_value("memory_regions", "address", id);
      if (!size) return bad_value("memory_regions", "size", id);
      if (!category) return bad_value("memory_regions", "category", id);
      if (!name) return bad_value("memory_regions", "name", id);
      if (region->column_type(6) != SQLITE_NULL) {
        const auto tensor = wide(*region, 6);
        if (!tensor || !std::in_range<std::size_t>(*tensor)) {
          return bad_value("memory_regions", "tensor", id);
        }
        entry.tensor = static_cast<std::size_t>(*tensor);
      }
      if (!live_from || !std::in_range<std::size_t>(*live_from)) {
        return bad_value("memory_regions", "live_from", id);
      }
      if (!live_until || !std::in_range<std::size_t>(*live_until)) {
        return bad_value("memory_regions", "live_until", id);
      }
      entry.address = *address;
      entry.size = *size;
      entry.category = std::move(*category);
      entry.name = std::move(*name);
      entry.live_from = static_cast<std::size_t>(*live_from);
      entry.live_until = static_cast<std::size_t>(*live_until);
      profile.tiles[*position].regions.push_back(std::move(entry));
    }
    return {};
  }

  sqlite::Database& database_;
  std::string path_;
};

std::uint32_t big_endian(const unsigned char* bytes, int count) {
  std::uint32_t value = 0;
  for (int i = 0; i < count; ++i) value = (value << 8) | bytes[i];
  return value;
}

// Checks the SQLite file header before SQLite reads the file: the magic text, and that the file
// holds every page its header counts, which catches a package cut short.
PackageResult<void> check_header(const std::filesystem::path& path, const std::string& shown) {
  std::error_code error;
  const auto file_size = std::filesystem::file_size(path, error);
  if (error) {
    return std::unexpected(
        PackageError{format("cannot open package '{}': {}", shown, error.message())});
  }
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    return std::unexpected(PackageError{format("cannot open package '{}': unreadable", shown)});
  }
  std::array<unsigned char, 100> header{};
  file.read(reinterpret_cast<char*>(header.data()), header.size());
  const auto got = static_cast<std::size_t>(file.gcount());
  static constexpr char kMagic[] = "SQLite format 3";  // with its terminating zero byte
  if (got < sizeof kMagic || std::memcmp(header.data(), kMagic, sizeof kMagic) != 0) {
    return std::unexpected(
        PackageError{format("'{}' is not a quarn package: not an SQLite database", shown)});
  }
  if (got < header.size()) {
    return std::unexpected(PackageError{
        format("package '{}' is truncated: {} of at least 100 bytes", shown, file_size)});
  }
  std::uint64_t page_size = big_endian(&header[16], 2);
  if (page_size == 1) page_size = 65536;
  const std::uint32_t page_count = big_endian(&header[28], 4);
  const bool count_valid = big_endian(&header[24], 4) == big_endian(&header[92], 4);
  if (page_size < 512 || (page_size & (page_size - 1)) != 0) {
    return std::unexpected(
        PackageError{format("package '{}' is corrupt: invalid page size {}", shown, page_size)});
  }
  const std::uint64_t expected = page_size * page_count;
  if (count_valid && file_size < expected) {
    return std::unexpected(PackageError{
        format("package '{}' is truncated: {} of {} bytes", shown, file_size, expected)});
  }
  return {};
}

}  // namespace

PackageResult<void> write_application_package(const ApplicationPackage& package,
                                              const std::filesystem::path& path,
                                              const PackageWriteOptions& options) {
  const std::string shown = path.string();
  auto fail = [&](std::string_view what, const std::string& message) -> PackageResult<void> {
    return std::unexpected(
        PackageError{format("cannot write package '{}': {}: {}", shown, what, message)});
  };
  if (path.filename().empty()) return fail("path", "no file name");
  std::filesystem::path directory = path.parent_path();
  if (directory.empty()) directory = ".";

  // The temporary file lies beside the target, so that the rename stays on one file system.
  std::string pattern = (directory / (path.filename().string() + ".partial-XXXXXX")).string();
  const int descriptor = ::mkstemp(pattern.data());
  if (descriptor < 0) return fail("temporary file", errno_text(errno));
  TemporaryFile temporary(pattern);
  const bool mode_set = ::fchmod(descriptor, 0644) == 0;
  const int mode_error = errno;
  ::close(descriptor);
  if (!mode_set) return fail("temporary file", errno_text(mode_error));

  {
    auto database = sqlite::Database::open(pattern, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX);
    if (!database) return fail("open", database.error());
    // The journal only has to serve a rollback inside this one transaction, and the file is made
    // durable by the explicit sync below, before it replaces anything.
    for (const std::string& pragma :
         {std::string("PRAGMA journal_mode = MEMORY"), std::string("PRAGMA synchronous = OFF"),
          format("PRAGMA application_id = {}", PACKAGE_APPLICATION_ID),
          format("PRAGMA user_version = {}", PACKAGE_SCHEMA_VERSION)}) {
      if (auto done = database->execute(pragma); !done) return fail("setup", done.error());
    }
    Writer writer(*database, options, shown);
    if (auto written = writer.write(package); !written) return written;
    if (auto closed = database->close(); !closed) return fail("close", closed.error());
  }
  if (options.checkpoint) {
    if (auto done = options.checkpoint("commit"); !done) return done;
  }
  if (auto synced = sync_path(temporary.path(), O_RDONLY, "sync", shown); !synced) return synced;
  if (::rename(temporary.path().c_str(), path.c_str()) != 0) {
    return fail("rename", errno_text(errno));
  }
  temporary.keep();
  // The rename itself becomes durable with the directory.
  return sync_path(directory, O_RDONLY | O_DIRECTORY, "sync directory", shown);
}

PackageResult<ApplicationPackage> read_application_package(const std::filesystem::path& path) {
  const std::string shown = path.string();
  std::error_code error;
  const auto status = std::filesystem::status(path, error);
  if (!std::filesystem::exists(status)) {
    return std::unexpected(PackageError{format("cannot open package '{}': no such file", shown)});
  }
  if (!std::filesystem::is_regular_file(status)) {
    return std::unexpected(
        PackageError{format("cannot open package '{}': not a regular file", shown)});
  }
  if (auto checked = check_header(path, shown); !checked) return std::unexpected(checked.error());
  auto database = sqlite::Database::open(shown, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX);
  if (!database) {
    return std::unexpected(
        PackageError{format("cannot open package '{}': {}", shown, database.error())});
  }
  Reader reader(*database, shown);
  return reader.read();
}

}  // namespace quarn::package
