#pragma once
// Runs an outside program (the openssl command line and other oracles) without a shell and
// collects what it prints.
#include <string>
#include <vector>

namespace orva::testing {

struct CommandResult {
  int exitCode = -1;  // -1 when the program could not be started or was killed
  std::string out;    // standard output
  std::string err;    // standard error
};

// argv[0] is looked up in PATH. `input` is written to the program's standard input.
CommandResult RunCommand(const std::vector<std::string>& argv, const std::string& input = {});

}  // namespace orva::testing
