// A small command-line parser: short and long options with or without a value ("-o FILE",
// "--output FILE", "--output=FILE"), the rest positional. Every problem is a UsageError.
#pragma once

#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace Vocetta::Tool {

struct OptionSpec {
    const char* shortName;  // "-o" or nullptr
    const char* longName;   // "--output"
    bool takesValue;
};

class Options {
  public:
    Options(const std::vector<std::string>& arguments, std::initializer_list<OptionSpec> specs);

    bool Has(const std::string& longName) const { return values_.count(longName) != 0; }
    std::optional<std::string> Value(const std::string& longName) const;
    std::string Text(const std::string& longName, const std::string& fallback) const;
    double Number(const std::string& longName, double fallback, double low, double high) const;
    int Integer(const std::string& longName, int fallback, int low, int high) const;
    const std::vector<std::string>& Positional() const { return positional_; }

  private:
    std::map<std::string, std::string> values_;
    std::vector<std::string> positional_;
};

}  // namespace Vocetta::Tool
