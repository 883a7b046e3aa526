// One subcommand's command line, parsed by CLI11. A subcommand adds its options to a CommandLine
// and parses: help goes to standard output, every problem becomes a UsageError that names the
// option. Short and long spellings, "--name=value", "-j2", bundled flags and "--" all work.
#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

namespace Vocetta::Tool {

class CommandLine {
  public:
    // `command` is the subcommand's name; `summary` opens its help and `details` closes it.
    CommandLine(const std::string& command, const std::string& summary,
                const std::string& details = "");

    CLI::App& app() { return app_; }

    // A value option; the text after the value's placeholder (`type`) is its help line.
    CLI::Option* Text(const std::string& names, std::string& value, const std::string& type,
                      const std::string& help);
    // Numbers are checked against their range before they are stored.
    CLI::Option* Number(const std::string& names, double& value, double low, double high,
                        const std::string& type, const std::string& help);
    CLI::Option* Integer(const std::string& names, int& value, int low, int high,
                         const std::string& type, const std::string& help);
    CLI::Option* Flag(const std::string& names, bool& value, const std::string& help);
    // The positional arguments, all of them.
    CLI::Option* Positional(const std::string& name, std::vector<std::string>& values,
                            const std::string& help);

    // False when help was asked for (and has been printed).
    bool Parse(const std::vector<std::string>& arguments);

  private:
    CLI::App app_;
};

}  // namespace Vocetta::Tool
