#include "options.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

#include "error.hpp"

namespace Vocetta::Tool {

Options::Options(const std::vector<std::string>& arguments,
                 std::initializer_list<OptionSpec> specs) {
    bool onlyPositional = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (onlyPositional || argument == "-" || argument.empty() || argument[0] != '-') {
            positional_.push_back(argument);
            continue;
        }
        if (argument == "--") {
            onlyPositional = true;
            continue;
        }
        std::string name = argument;
        std::optional<std::string> inlineValue;
        if (const auto equals = argument.find('=');
            argument.starts_with("--") && equals != std::string::npos) {
            name = argument.substr(0, equals);
            inlineValue = argument.substr(equals + 1);
        }
        // "-j2": a short option with its value attached.
        if (!argument.starts_with("--") && argument.size() > 2) {
            for (const OptionSpec& spec : specs) {
                if (spec.shortName != nullptr && spec.takesValue &&
                    argument.starts_with(spec.shortName)) {
                    name = spec.shortName;
                    inlineValue = argument.substr(2);
                }
            }
        }
        const OptionSpec* match = nullptr;
        for (const OptionSpec& spec : specs) {
            if ((spec.shortName != nullptr && name == spec.shortName) || name == spec.longName) {
                match = &spec;
            }
        }
        if (match == nullptr) throw UsageError("unknown option '" + name + "'");
        if (!match->takesValue) {
            if (inlineValue) throw UsageError("option '" + name + "' takes no value");
            values_[match->longName] = "";
            continue;
        }
        if (!inlineValue) {
            if (i + 1 >= arguments.size()) throw UsageError("option '" + name + "' needs a value");
            inlineValue = arguments[++i];
        }
        values_[match->longName] = *inlineValue;
    }
}

std::optional<std::string> Options::Value(const std::string& longName) const {
    const auto found = values_.find(longName);
    if (found == values_.end()) return std::nullopt;
    return found->second;
}

std::string Options::Text(const std::string& longName, const std::string& fallback) const {
    return Value(longName).value_or(fallback);
}

double Options::Number(const std::string& longName, double fallback, double low,
                       double high) const {
    const auto text = Value(longName);
    if (!text) return fallback;
    double number = 0;
    const char* begin = text->data();
    const char* end = begin + text->size();
    const auto parsed = std::from_chars(begin, end, number);
    if (text->empty() || parsed.ec != std::errc() || parsed.ptr != end || !std::isfinite(number)) {
        throw UsageError("option '" + longName + "': '" + *text + "' is not a number");
    }
    if (number < low || number > high) {
        char range[96];
        std::snprintf(range, sizeof range, "%g ... %g", low, high);
        throw UsageError("option '" + longName + "': " + *text + " is outside " + range);
    }
    return number;
}

int Options::Integer(const std::string& longName, int fallback, int low, int high) const {
    const auto text = Value(longName);
    if (!text) return fallback;
    int number = 0;
    const char* begin = text->data();
    const char* end = begin + text->size();
    const auto parsed = std::from_chars(begin, end, number);
    if (text->empty() || parsed.ec != std::errc() || parsed.ptr != end) {
        throw UsageError("option '" + longName + "': '" + *text + "' is not a whole number");
    }
    if (number < low || number > high) {
        throw UsageError("option '" + longName + "': " + *text + " is outside " +
                         std::to_string(low) + " ... " + std::to_string(high));
    }
    return number;
}

}  // namespace Vocetta::Tool
