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

// Manifest rows by the recording they name, so that each recording is decoded and analysed once
// however many of its stretches the rows label.
struct RecordingRows {
    std::vector<std::string> paths;         // each recording once, in order of first appearance
    std::vector<std::vector<size_t>> rows;  // per recording, the indices of its rows, in order
};
RecordingRows GroupByRecording(const std::vector<LabelledFile>& rows);

// One CSV record split into fields (quoted fields may hold commas and doubled quotes). A quote
// left open at the end of the line sets `*unclosed`: fields do not span lines here.
std::vector<std::string> SplitCsvLine(const std::string& line, bool* unclosed = nullptr);

}  // namespace Vocetta::Tool
