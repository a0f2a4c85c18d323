// `quarn`: the command-line tool for application packages.
#include <iostream>
#include <string>
#include <vector>

#include "quarn/tools/commands.hpp"

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  return quarn::tools::run_quarn(arguments, std::cout, std::cerr);
}
