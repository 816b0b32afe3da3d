// The hct-sim command line, callable in-process: `args` are the words after the program name.
// Returns the exit code: 0 success, 1 the session broke a kernel rule, 2 bad input or usage.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace hct_sim {

int RunCli(const std::vector<std::string> &args, std::ostream &out, std::ostream &err, std::istream &in);

}  // namespace hct_sim
