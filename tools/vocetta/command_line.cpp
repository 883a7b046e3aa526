#include "command_line.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "error.hpp"
#include "output.hpp"

namespace Vocetta::Tool {
namespace {

constexpr size_t kHelpColumn = 26;

std::string Range(double low, double high) {
    char text[96];
    std::snprintf(text, sizeof text, "%g ... %g", low, high);
    return text;
}

template <typename T>
CLI::Validator InRange(T low, T high, const char* kind) {
    return CLI::Validator(
        [=](std::string& text) -> std::string {
            T number{};
            const char* begin = text.data();
            const char* end = begin + text.size();
            const auto parsed = std::from_chars(begin, end, number);
            if (text.empty() || parsed.ec != std::errc() || parsed.ptr != end ||
                !std::isfinite(static_cast<double>(number))) {
                return "'" + text + "' is not " + kind;
            }
            if (number < low || number > high) {
                return text + " is outside " +
                       Range(static_cast<double>(low), static_cast<double>(high));
            }
            return std::string();
        },
        "");
}

}  // namespace

CommandLine::CommandLine(const std::string& command, const std::string& summary,
                         const std::string& details)
    : app_(summary + "\n", "vocetta " + command) {
    app_.get_formatter()->column_width(kHelpColumn);
    app_.set_help_flag("-h,--help", "print this help and exit");
    if (!details.empty()) app_.footer(details);
    // Unknown options are collected and reported in the tool's own words after parsing.
    app_.allow_extras();
}

CLI::Option* CommandLine::Text(const std::string& names, std::string& value,
                               const std::string& type, const std::string& help) {
    return app_.add_option(names, value, help)->type_name(type);
}

CLI::Option* CommandLine::Number(const std::string& names, double& value, double low, double high,
                                 const std::string& type, const std::string& help) {
    return app_.add_option(names, value, help)
        ->type_name(type)
        ->check(InRange<double>(low, high, "a number"));
}

CLI::Option* CommandLine::Integer(const std::string& names, int& value, int low, int high,
                                  const std::string& type, const std::string& help) {
    return app_.add_option(names, value, help)
        ->type_name(type)
        ->check(InRange<int>(low, high, "a whole number"));
}

CLI::Option* CommandLine::Flag(const std::string& names, bool& value, const std::string& help) {
    return app_.add_flag(names, value, help);
}

CLI::Option* CommandLine::Positional(const std::string& name, std::vector<std::string>& values,
                                     const std::string& help) {
    return app_.add_option(name, values, help)->type_name("");
}

bool CommandLine::Parse(const std::vector<std::string>& arguments) {
    // CLI11 takes the arguments last first.
    std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
    try {
        app_.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        PutStandardOutput(app_.help());
        return false;
    } catch (const CLI::ArgumentMismatch& error) {
        // "--output: 1 required PATH missing" says less than it seems to.
        const std::string what = error.what();
        const auto colon = what.find(':');
        if (colon != std::string::npos && what.find("missing") != std::string::npos) {
            throw UsageError("option '" + what.substr(0, colon) + "' needs a value");
        }
        throw UsageError(what);
    } catch (const CLI::ParseError& error) {
        throw UsageError(error.what());
    }
    for (const std::string& extra : app_.remaining()) {
        if (extra == "--") continue;
        if (extra.size() > 1 && extra[0] == '-') {
            // "--name=value": the name is what the user needs to see.
            throw UsageError("unknown option '" + extra.substr(0, extra.find('=')) + "'");
        }
        throw UsageError("unexpected argument '" + extra + "'");
    }
    return true;
}

}  // namespace Vocetta::Tool
