#include "png.hpp"

#include <png.h>

#include <csetjmp>

#include "error.hpp"
#include "output.hpp"

namespace Vocetta::Tool {
namespace {

struct Image {
    int width, height;
    const std::vector<uint32_t>* pixels;
    std::string path;
};

void WriteImage(std::FILE* file, const void* context) {
    const Image& image = *static_cast<const Image*>(context);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    if (png == nullptr || info == nullptr) {
        png_destroy_write_struct(&png, &info);
        throw ToolError(image.path + ": cannot start the PNG encoder");
    }
    // libpng reports failures by longjmp; nothing with a destructor lives between here and the
    // end of the encoding.
    if (setjmp(png_jmpbuf(png)) != 0) {
        png_destroy_write_struct(&png, &info);
        throw ToolError(image.path + ": cannot encode the PNG image");
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, static_cast<png_uint_32>(image.width),
                 static_cast<png_uint_32>(image.height), 8, PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    // Little-endian pixels are already the bytes red, green, blue, alpha.
    const auto* bytes = reinterpret_cast<const png_byte*>(image.pixels->data());
    const size_t stride = static_cast<size_t>(image.width) * 4;
    for (int row = 0; row < image.height; ++row) {
        png_write_row(png, bytes + static_cast<size_t>(row) * stride);
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
}

}  // namespace

void WritePng(const std::string& path, int width, int height, const std::vector<uint32_t>& pixels,
              Existing existing) {
    const Image image{width, height, &pixels, path};
    WriteOutputWith(path, WriteImage, &image, existing);
}

}  // namespace Vocetta::Tool
