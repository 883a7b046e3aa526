#include "vocetta/text.hpp"

#include <cmath>
#include <cstdio>

namespace Vocetta::Host {

std::string FormatNumber(double value, int significant) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    char text[64];
    std::snprintf(text, sizeof text, "%.*g", significant, value);
    return text;
}

std::string FormatFixed(double value, int decimals) {
    char text[400];  // the widest double, 309 digits, with its decimals
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string EscapeMarkup(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

namespace {

bool Spreads(const Json& value, int depth, const JsonLayout& layout) {
    if (depth >= layout.spread) return false;
    if (value.is_object()) return !value.empty();
    if (!value.is_array()) return false;
    for (const Json& element : value) {
        if (element.is_structured()) return true;
    }
    return false;
}

void AppendJson(std::string& out, const Json& value, int depth, const JsonLayout& layout) {
    if (value.is_structured()) {
        const bool spread = Spreads(value, depth, layout);
        // Between members: a comma and, when spread, a new line at the members' indentation.
        const auto separate = [&](bool first, int indent) {
            if (!first) out += spread ? "," : ", ";
            if (!spread) return;
            out += '\n';
            out.append(static_cast<size_t>(indent) * 2, ' ');
        };
        out += value.is_object() ? '{' : '[';
        bool first = true;
        for (auto member = value.begin(); member != value.end(); ++member) {
            separate(first, depth + 1);
            first = false;
            if (value.is_object()) {
                AppendJson(out, Json(member.key()), depth + 1, layout);
                out += ": ";
            }
            AppendJson(out, member.value(), depth + 1, layout);
        }
        if (spread) {
            out += '\n';
            out.append(static_cast<size_t>(depth) * 2, ' ');
        }
        out += value.is_object() ? '}' : ']';
    } else if (value.is_number_float()) {
        const double number = value.get<double>();
        if (!std::isfinite(number)) {
            out += "null";
        } else if (layout.decimals >= 0) {
            out += FormatFixed(number, layout.decimals);
        } else {
            out += FormatNumber(number, layout.significant);
        }
    } else {
        out += value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    }
}

}  // namespace

std::string JsonText(const Json& value, const JsonLayout& layout) {
    std::string out;
    AppendJson(out, value, 0, layout);
    return out;
}

}  // namespace Vocetta::Host
