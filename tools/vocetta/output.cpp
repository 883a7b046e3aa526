#include "output.hpp"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>

#include "error.hpp"

namespace Vocetta::Tool {
namespace {

std::string TemporaryPath(const std::string& path) {
    const std::filesystem::path target(path);
    std::filesystem::path temporary = target.parent_path();
    std::string name = ".";
    name += target.filename().string();
    name += ".partial-";
    name += std::to_string(::getpid());
    temporary /= name;
    return temporary.string();
}

}  // namespace

void WriteOutputWith(const std::string& path, void (*write)(std::FILE* file, const void* context),
                     const void* context) {
    if (path == "-") {
        write(stdout, context);
        if (std::fflush(stdout) != 0) {
            throw ToolError("standard output: cannot write: " + std::string(std::strerror(errno)));
        }
        return;
    }
    if (std::filesystem::is_directory(path)) {
        throw ToolError(path + ": is a directory; name the output file");
    }
    const std::string temporary = TemporaryPath(path);
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (file == nullptr) {
        throw ToolError(path + ": cannot create: " + std::strerror(errno));
    }
    try {
        write(file, context);
    } catch (...) {
        std::fclose(file);
        std::remove(temporary.c_str());
        throw;
    }
    const bool failed = std::ferror(file) != 0;
    const int savedErrno = errno;
    if (std::fclose(file) != 0 || failed) {
        std::remove(temporary.c_str());
        throw ToolError(path + ": cannot write: " + std::strerror(failed ? savedErrno : errno));
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = errno;
        std::remove(temporary.c_str());
        throw ToolError(path + ": cannot write: " + std::strerror(error));
    }
}

void WriteOutput(const std::string& path, const std::string& text) {
    WriteOutputWith(
        path,
        [](std::FILE* file, const void* context) {
            const auto& content = *static_cast<const std::string*>(context);
            std::fwrite(content.data(), 1, content.size(), file);
        },
        &text);
}

std::string FormatNumber(double value, int significant) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    char text[64];
    std::snprintf(text, sizeof text, "%.*g", significant, value);
    return text;
}

std::string JsonNumber(double value, int significant) {
    return std::isfinite(value) ? FormatNumber(value, significant) : "null";
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char escape[8];
                    std::snprintf(escape, sizeof escape, "\\u%04x", c);
                    out += escape;
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

std::string CsvField(const std::string& text, char separator) {
    if (separator == '\t') {
        std::string out = text;
        for (char& c : out) {
            if (c == '\t' || c == '\n' || c == '\r') c = ' ';
        }
        return out;
    }
    if (text.find_first_of(",\"\n\r") == std::string::npos) return text;
    std::string out = "\"";
    for (const char c : text) {
        out += c;
        if (c == '"') out += '"';
    }
    return out + "\"";
}

}  // namespace Vocetta::Tool
