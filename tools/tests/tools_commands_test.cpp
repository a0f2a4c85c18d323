#include <expat.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "../../package/tests/package_fixtures.hpp"
#include "quarn/tools/commands.hpp"

namespace {

using namespace quarn::package;
using quarn::package::testing::small_package;
using quarn::package::testing::TemporaryDirectory;
using quarn::tools::run_quarn;
using ::testing::HasSubstr;

TEST(Trace, OneCompleteEventPerSampleWithDurationsModulo32Bits) {
  const ApplicationPackage package = small_package();
  std::ostringstream out;
  ASSERT_TRUE(quarn::tools::write_trace(package.profile_report, out));
  const auto trace = nlohmann::json::parse(out.str());

  std::vector<nlohmann::json> events;
  std::vector<std::int64_t> tracks;
  for (const auto& event : trace.at("traceEvents")) {
    if (event.at("ph") == "X") events.push_back(event);
    if (event.at("ph") == "M" && event.at("name") == "thread_name") {
      tracks.push_back(event.at("tid"));
      EXPECT_EQ(event.at("args").at("name"), "tile " + std::to_string(tracks.back()));
    }
  }
  EXPECT_THAT(tracks, ::testing::ElementsAre(7, 13, 9));
  std::size_t samples = 0;
  for (const auto& tile : package.profile_report.tiles) samples += tile.samples.size();
  ASSERT_EQ(events.size(), samples);

  const double cycle_us = 1e6 / 1.5e9;
  const struct {
    std::size_t event;
    double ts_cycles;
    double cycles;
  } cases[] = {
      {0, 95, 50},                       // the earliest reading (tile 13 at 5) is time 0
      {1, 145, 250},                     //
      {2, 0xFFFFFF00 - 5.0, 512},        // 0xffffff00 to 0x100 wraps
      {3, 0x100 + 4294967296.0 - 5, 0},  // after the wrap the track keeps going forward
      {4, 0, 4},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.event);
    EXPECT_NEAR(events[test.event].at("ts").get<double>(), test.ts_cycles * cycle_us, 1e-6);
    EXPECT_NEAR(events[test.event].at("dur").get<double>(), test.cycles * cycle_us, 1e-9);
    EXPECT_EQ(events[test.event].at("args").at("cycles").get<double>(), test.cycles);
  }
  const auto& gemm = events[2];
  EXPECT_EQ(gemm.at("name"), "layer 0 qkv");
  EXPECT_EQ(gemm.at("cat"), "Compute");
  EXPECT_EQ(gemm.at("tid"), 7);
  EXPECT_EQ(gemm.at("args").at("label"), "layer 0 \"qkv\"");
  EXPECT_EQ(gemm.at("args").at("label (2)"), "duplicate");
  EXPECT_EQ(gemm.at("args").at("unicode"), "\xc3\xa9t\xc3\xa9");

  ProfileReport no_clock = package.profile_report;
  no_clock.clock_hz = 0;
  std::ostringstream ignored;
  EXPECT_FALSE(quarn::tools::write_trace(no_clock, ignored));
}

// Counts elements while checking that the text is well-formed XML.
struct XmlCounts {
  int rects = 0;
  int titles = 0;
};

bool well_formed(const std::string& text, XmlCounts& counts) {
  XML_Parser parser = XML_ParserCreate("UTF-8");
  XML_SetUserData(parser, &counts);
  XML_SetStartElementHandler(parser, [](void* data, const XML_Char* name, const XML_Char**) {
    auto* counts = static_cast<XmlCounts*>(data);
    if (std::string_view(name) == "rect") ++counts->rects;
    if (std::string_view(name) == "title") ++counts->titles;
  });
  const bool ok =
      XML_Parse(parser, text.data(), static_cast<int>(text.size()), 1) != XML_STATUS_ERROR;
  XML_ParserFree(parser);
  return ok;
}

TEST(MemoryMap, IsWellFormedSvgWithOneTitledRectanglePerRegion) {
  ApplicationPackage package = small_package();
  // A name with every character XML cares about.
  package.memory_profile.tiles[0].regions[1].name = "a < b & \"c\" > d\x01";
  std::ostringstream out;
  ASSERT_TRUE(quarn::tools::write_memory_map(package.memory_profile, 0, out));
  XmlCounts counts;
  ASSERT_TRUE(well_formed(out.str(), counts)) << out.str();
  // Four fixed areas, three regions, the background, the frame and three legend boxes.
  EXPECT_EQ(counts.titles, 4 + 3);
  EXPECT_EQ(counts.rects, 4 + 3 + 1 + 1 + 3);
  EXPECT_THAT(out.str(), HasSubstr("<title>left (home): [0xa0000, 0xa1000), 4096 bytes, phases 0 "
                                   "to the end</title>"));
  EXPECT_THAT(out.str(), HasSubstr("a &lt; b &amp; &quot;c&quot; &gt; d?"));

  std::ostringstream empty;
  ASSERT_TRUE(quarn::tools::write_memory_map(package.memory_profile, 1, empty));
  EXPECT_TRUE(well_formed(empty.str(), counts));
  std::ostringstream ignored;
  const auto missing = quarn::tools::write_memory_map(package.memory_profile, 5, ignored);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), "the memory profile has no logical tile 5");
}

TEST(QuarnTool, ErrorsAreOneLineWithANonZeroExitCode) {
  TemporaryDirectory directory("quarn-tool");
  const std::string package = (directory / "model.quarn").string();
  ASSERT_TRUE(write_application_package(small_package(), package));
  const std::string text = (directory / "notes.txt").string();
  std::ofstream(text) << "not a package\n";
  const std::string missing = (directory / "missing.quarn").string();

  const struct {
    std::vector<std::string> arguments;
    int code;
    std::string error;
  } cases[] = {
      {{}, 2, "quarn: A subcommand is required (see quarn --help)"},
      {{"frobnicate"}, 2, ""},
      {{"trace", package}, 2, ""},
      {{"memory-map", package, "-o", "x.svg"}, 2, ""},
      {{"memory-map", package, "--tile", "x", "-o", "x.svg"}, 2, ""},
      {{"inspect", missing}, 1, "quarn: cannot open package '" + missing + "': no such file"},
      {{"inspect", text},
       1,
       "quarn: '" + text + "' is not a quarn package: not an SQLite database"},
      {{"memory-map", package, "--tile", "4", "-o", (directory / "m.svg").string()},
       1,
       "quarn: the memory profile has no logical tile 4"},
      {{"trace", package, "-o", (directory / "no" / "t.json").string()},
       1,
       "quarn: cannot write '" + (directory / "no" / "t.json").string() + "'"},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(::testing::PrintToString(test.arguments));
    std::ostringstream out, err;
    EXPECT_EQ(run_quarn(test.arguments, out, err), test.code);
    const std::string message = err.str();
    ASSERT_FALSE(message.empty());
    EXPECT_EQ(message.find('\n'), message.size() - 1) << message;
    if (!test.error.empty()) {
      EXPECT_EQ(message, test.error + "\n");
    }
  }
  EXPECT_FALSE(std::filesystem::exists(directory / "m.svg"));
}

TEST(QuarnTool, HelpAndTheThreeCommands) {
  for (const std::vector<std::string>& arguments : {std::vector<std::string>{"--help"},
                                                    {"inspect", "--help"},
                                                    {"trace", "--help"},
                                                    {"memory-map", "--help"}}) {
    std::ostringstream out, err;
    EXPECT_EQ(run_quarn(arguments, out, err), 0);
    EXPECT_THAT(out.str(), HasSubstr("Usage: quarn"));
    EXPECT_EQ(err.str(), "");
  }
  TemporaryDirectory directory("quarn-tool-commands");
  const std::string package = (directory / "model.quarn").string();
  ASSERT_TRUE(write_application_package(small_package(), package));
  std::ostringstream out, err;
  ASSERT_EQ(run_quarn({"inspect", package}, out, err), 0) << err.str();
  EXPECT_THAT(out.str(), HasSubstr("host input 'left' f32 1024: 1 slices, 4096 bytes"));
  EXPECT_THAT(out.str(), HasSubstr("home: 1 regions, 4096 bytes"));
  EXPECT_THAT(out.str(), HasSubstr("profile samples: 3 tiles, 5 samples, clock 1500000000 Hz"));

  const auto trace = directory / "trace.json";
  ASSERT_EQ(run_quarn({"trace", package, "-o", trace.string()}, out, err), 0) << err.str();
  std::ifstream trace_file(trace);
  const auto parsed = nlohmann::json::parse(trace_file, nullptr, false);
  EXPECT_FALSE(parsed.is_discarded());
  const auto map = directory / "map.svg";
  ASSERT_EQ(run_quarn({"memory-map", package, "--tile", "0", "-o", map.string()}, out, err), 0);
  std::ifstream map_file(map);
  const std::string svg{std::istreambuf_iterator<char>(map_file), {}};
  XmlCounts counts;
  EXPECT_TRUE(well_formed(svg, counts));
}

}  // namespace
