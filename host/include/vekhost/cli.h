// The vekhost program without its process setup: parses the arguments, runs the command and
// returns the exit status (0 success, 1 failure, 2 bad command line).
#pragma once

#include <atomic>
#include <ostream>
#include <string>
#include <vector>

namespace vekhost {

int runCommandLine(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
                   const std::atomic<bool>* interrupt);

}  // namespace vekhost
