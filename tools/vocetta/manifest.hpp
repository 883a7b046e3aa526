// Labelled recordings: a CSV file whose header names at least the columns "file" and
// "phoneme"; other columns are ignored, relative paths are taken from the manifest's folder.
#pragma once

#include <string>
#include <vector>

namespace Vocetta::Tool {

struct LabelledFile {
    std::string path;
    std::string phoneme;
    int line = 0;  // in the manifest, for messages
};

std::vector<LabelledFile> LoadManifest(const std::string& path);

// One CSV record split into fields (quoted fields may hold commas and doubled quotes).
std::vector<std::string> SplitCsvLine(const std::string& line);

}  // namespace Vocetta::Tool
