// The one kind of failure the tool reports: a sentence that names the file and what is wrong with
// it. Subcommands throw it; main prints "vocetta <command>: <message>" and exits non-zero.
#pragma once

#include <stdexcept>
#include <string>

namespace Vocetta::Tool {

class ToolError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A bad command line: printed the same way, but the exit status says "usage".
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

}  // namespace Vocetta::Tool
