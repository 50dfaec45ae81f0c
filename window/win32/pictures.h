// The window's pictures, built into the program as resources: the BMPs read as they are stored, the JPEG
// button faces decoded by the system's imaging component (WIC).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pc {

// Top-down rows of 0x00RRGGBB pixels, the layout of a 32-bit device-independent bitmap.
struct TPixels {
    int Width = 0;
    int Height = 0;
    std::vector<std::uint32_t> Data;
    std::uint32_t At(int x, int y) const {
        return Data[static_cast<std::size_t>(y) * static_cast<std::size_t>(Width) +
                    static_cast<std::size_t>(x)];
    }
};

// The resource that carries an asset: its file name in upper case with '.' as '_' ("start.jpg" is
// START_JPG); a path before the file name is ignored.
std::wstring AssetResourceName(std::string_view asset);

// The bytes of an RCDATA resource; raises Exception when the program lacks it.
std::string LoadResourceBytes(const std::wstring& name);

// An uncompressed 24- or 32-bit BMP file; raises Exception on anything else.
TPixels DecodeBmp(const std::string& bytes);
// A JPEG through WIC (COM must be initialised on the thread); raises Exception when WIC rejects it.
TPixels DecodeJpeg(const std::string& bytes);

// One embedded picture by its asset name, decoded by its extension.
TPixels LoadPicture(std::string_view asset);

} // namespace pc
