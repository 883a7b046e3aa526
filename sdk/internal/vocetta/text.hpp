// Numbers and JSON laid out alike by the SDK's writers, the tool and the bindings. Shared within
// this build only and never installed: it brings nlohmann-json, which an installed SDK does not
// need.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace Vocetta::Host {

// printf's %.*g; NaN and infinities as "nan", "inf" and "-inf".
std::string FormatNumber(double value, int significant = 6);
// printf's %.*f: exactly `decimals` decimals (cue times and drawings in hundredths).
std::string FormatFixed(double value, int decimals);

// Text for XML and HTML, in elements and in quoted attributes: & < > " as entities.
std::string EscapeMarkup(const std::string& text);

// JSON documents are built as nlohmann values (keys in insertion order) and written by JsonText,
// whose layout keeps them readable line by line: an object, or an array that holds objects or
// arrays, nested less than `spread` deep takes one line per member (indented two spaces a level);
// everything else stays on one line with ", " and ": " between. Strings and whole numbers are
// nlohmann's text (bytes that are not UTF-8 become U+FFFD); a fraction gets `significant` digits
// (printf's %g), or exactly `decimals` decimals when that is 0 or more, so that files keep their
// fixed precision (cue times in hundredths); a value that is not finite is null.
using Json = nlohmann::ordered_json;
struct JsonLayout {
    int spread = 0;
    int significant = 6;
    int decimals = -1;
};
std::string JsonText(const Json& value, const JsonLayout& layout = {});

}  // namespace Vocetta::Host
