// Labelled recordings: a CSV file whose header names at least the columns "file" and
// "phoneme"; other columns are ignored, relative paths are taken from the manifest's folder.
// Optional columns "start" and "end" (seconds) label a stretch of a longer recording, such as
// one vowel of a sentence; a file may then appear on many rows.
#pragma once

#include <string>
#include <vector>

namespace Vocetta::Tool {

struct LabelledFile {
    std::string path;
    std::string phoneme;
    // The labelled stretch in seconds; a row without one labels the whole file.
    bool segment = false;
    double start = 0, end = 0;
    int line = 0;  // in the manifest, for messages
};

std::vector<LabelledFile> LoadManifest(const std::string& path);

// One CSV record split into fields (quoted fields may hold commas and doubled quotes).
std::vector<std::string> SplitCsvLine(const std::string& line);

}  // namespace Vocetta::Tool
