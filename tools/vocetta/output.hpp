// Writing results so that a failed run never leaves a file that looks complete: the text goes to
// a hidden temporary file beside the target and is renamed over it only once it is whole.
#pragma once

#include <cstdio>
#include <string>

namespace Vocetta::Tool {

// "-" means standard output, written in one piece at the end.
void WriteOutput(const std::string& path, const std::string& text);
// For binary writers (PNG): `write` fills the temporary file; the rename happens if it returns.
void WriteOutputWith(const std::string& path, void (*write)(std::FILE* file, const void* context),
                     const void* context);

std::string FormatNumber(double value, int significant = 6);  // NaN and infinities as "nan", "inf"
std::string JsonString(const std::string& text);
std::string JsonNumber(double value, int significant = 6);  // null when not finite
std::string CsvField(const std::string& text, char separator);

}  // namespace Vocetta::Tool
