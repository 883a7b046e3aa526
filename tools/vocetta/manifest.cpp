#include "manifest.hpp"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

#include "error.hpp"

namespace Vocetta::Tool {
namespace {

std::string Trim(const std::string& text) {
    const auto begin = text.find_first_not_of(" \t\r");
    if (begin == std::string::npos) return "";
    const auto end = text.find_last_not_of(" \t\r");
    return text.substr(begin, end - begin + 1);
}

const std::string* Field(const std::vector<std::string>& fields, int column) {
    return static_cast<size_t>(column) < fields.size() ? &fields[static_cast<size_t>(column)]
                                                       : nullptr;
}

double ParseSeconds(const std::string& text, const std::string& what) {
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || errno != 0 || !std::isfinite(value) || value < 0) {
        throw ToolError(what + " '" + text + "' is not a time in seconds (0 or more)");
    }
    return value;
}

}  // namespace

std::vector<std::string> SplitCsvLine(const std::string& line, bool* unclosed) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
                fields.back() += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                fields.back() += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    if (unclosed != nullptr) *unclosed = quoted;
    for (std::string& field : fields)
        field = Trim(field);
    return fields;
}

std::vector<LabelledFile> LoadManifest(const std::string& path) {
    std::ifstream stream(path);
    if (!stream) throw ToolError(path + ": cannot open the manifest: " + std::strerror(errno));
    std::string line;
    int number = 0;
    int fileColumn = -1, phonemeColumn = -1, startColumn = -1, endColumn = -1;
    std::vector<LabelledFile> files;
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    while (std::getline(stream, line)) {
        ++number;
        // Spreadsheet programs save UTF-8 with a byte-order mark in front of the header.
        if (number == 1 && line.starts_with("\xEF\xBB\xBF")) line.erase(0, 3);
        if (Trim(line).empty()) continue;
        bool unclosed = false;
        const std::vector<std::string> fields = SplitCsvLine(line, &unclosed);
        if (unclosed) {
            // Otherwise the rest of the row vanishes into the open field and the row is reported
            // as short of fields, which sends the user looking for missing commas.
            throw ToolError(path + ":" + std::to_string(number) +
                            ": a quote (\") opened in this row is not closed");
        }
        if (fileColumn < 0) {
            for (size_t i = 0; i < fields.size(); ++i) {
                if (fields[i] == "file") fileColumn = static_cast<int>(i);
                if (fields[i] == "phoneme") phonemeColumn = static_cast<int>(i);
                if (fields[i] == "start") startColumn = static_cast<int>(i);
                if (fields[i] == "end") endColumn = static_cast<int>(i);
            }
            if ((startColumn < 0) != (endColumn < 0)) {
                throw ToolError(path + ":" + std::to_string(number) +
                                ": the header names \"start\" or \"end\" without the other");
            }
            if (fileColumn < 0 || phonemeColumn < 0) {
                throw ToolError(path + ":" + std::to_string(number) +
                                ": the header must name the columns \"file\" and \"phoneme\"");
            }
            continue;
        }
        const auto needed = static_cast<size_t>(std::max(fileColumn, phonemeColumn));
        if (fields.size() <= needed) {
            throw ToolError(path + ":" + std::to_string(number) + ": the row has " +
                            std::to_string(fields.size()) + " fields, the header more");
        }
        LabelledFile entry;
        entry.line = number;
        entry.phoneme = fields[static_cast<size_t>(phonemeColumn)];
        const std::string file = fields[static_cast<size_t>(fileColumn)];
        if (file.empty() || entry.phoneme.empty()) {
            throw ToolError(path + ":" + std::to_string(number) + ": empty file or phoneme");
        }
        if (startColumn >= 0) {
            const std::string where = path + ":" + std::to_string(number);
            const std::string* start = Field(fields, startColumn);
            const std::string* end = Field(fields, endColumn);
            if (!start || !end || start->empty() != end->empty()) {
                throw ToolError(where + ": give both start and end, or neither");
            }
            if (!start->empty()) {
                entry.segment = true;
                entry.start = ParseSeconds(*start, where + ": start");
                entry.end = ParseSeconds(*end, where + ": end");
                if (!(entry.end > entry.start)) {
                    throw ToolError(where + ": the end (" + *end + ") must come after the start (" +
                                    *start + ")");
                }
            }
        }
        const std::filesystem::path filePath(file);
        entry.path = filePath.is_absolute() ? file : (folder / filePath).string();
        files.push_back(std::move(entry));
    }
    if (stream.bad()) throw ToolError(path + ": cannot read the manifest");
    if (fileColumn < 0) throw ToolError(path + ": the manifest is empty");
    if (files.empty()) throw ToolError(path + ": the manifest lists no recordings");
    return files;
}

RecordingRows GroupByRecording(const std::vector<LabelledFile>& rows) {
    RecordingRows grouped;
    std::map<std::string, size_t> known;
    for (size_t row = 0; row < rows.size(); ++row) {
        const auto [where, added] = known.emplace(rows[row].path, grouped.paths.size());
        if (added) {
            grouped.paths.push_back(rows[row].path);
            grouped.rows.emplace_back();
        }
        grouped.rows[where->second].push_back(row);
    }
    return grouped;
}

}  // namespace Vocetta::Tool
