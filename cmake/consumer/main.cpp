// Uses a runtime header, the topology and the package writer and reader of an installed quarn.
#include <cstdio>
#include <filesystem>

#include "quarn/exchange/topology.hpp"
#include "quarn/package/application_package.hpp"
#include "quarn/runtime/executable_graph.hpp"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const auto topology = quarn::exchange::Topology::zelk();
  quarn::package::ApplicationPackage package;
  package.host_inputs = {quarn::package::Binding{"left", "f32", {1024}, {{0, 0xA0000, 0, 4096}}}};
  if (!quarn::package::write_application_package(package, argv[1])) return 1;
  const auto read = quarn::package::read_application_package(argv[1]);
  if (!read || *read != package) return 1;
  std::printf("tiles %u, package round trip ok\n", static_cast<unsigned>(topology.tile_count()));
  return 0;
}
