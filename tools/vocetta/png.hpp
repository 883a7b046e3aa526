// Writing 8-bit RGBA images with libpng.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "output.hpp"

namespace Vocetta::Tool {

// `pixels` as the texture jobs write them: red in bits 0-7 ... alpha in 24-31, row after row,
// row 0 at the top. The file appears only once it is complete.
void WritePng(const std::string& path, int width, int height, const std::vector<uint32_t>& pixels,
              Existing existing);

}  // namespace Vocetta::Tool
