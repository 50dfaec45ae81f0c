#include "window/win32/pictures.h"

#include "framework/exceptions.h"
#include "window/win32/win32_window.h"

#include <wincodec.h>

#include <cctype>
#include <cstring>

namespace pc {

namespace {

template <class T> T ReadAt(const std::string& bytes, std::size_t offset) {
    T value{};
    if (offset + sizeof(T) > bytes.size())
        throw Exception("Cannot read picture: the bitmap is cut short");
    std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
}

std::string HexCode(HRESULT result) {
    char text[16];
    std::snprintf(text, sizeof(text), "%08lx", static_cast<unsigned long>(result));
    return text;
}

void Check(HRESULT result, const char* step) {
    if (FAILED(result))
        throw Exception(std::string("Cannot decode JPEG picture: ") + step + " failed with " +
                        HexCode(result));
}

} // namespace

std::wstring AssetResourceName(std::string_view asset) {
    const std::size_t slash = asset.find_last_of('/');
    if (slash != std::string_view::npos)
        asset.remove_prefix(slash + 1);
    std::wstring name;
    for (char c : asset)
        name += c == '.' ? L'_' : static_cast<wchar_t>(std::toupper(static_cast<unsigned char>(c)));
    return name;
}

std::string LoadResourceBytes(const std::wstring& name) {
    HINSTANCE module = win32::ProgramInstance();
    HRSRC info = ::FindResourceW(module, name.c_str(), reinterpret_cast<LPCWSTR>(RT_RCDATA));
    HGLOBAL data = info ? ::LoadResource(module, info) : nullptr;
    const void* bytes = data ? ::LockResource(data) : nullptr;
    if (!bytes)
        throw Exception("Cannot open picture " + win32::FromDisplayText(name));
    return std::string(static_cast<const char*>(bytes), ::SizeofResource(module, info));
}

TPixels DecodeBmp(const std::string& bytes) {
    if (bytes.size() < 54 || bytes[0] != 'B' || bytes[1] != 'M')
        throw Exception("Cannot read picture: not a bitmap file");
    const auto offBits = ReadAt<std::uint32_t>(bytes, 10);
    const auto width = ReadAt<std::int32_t>(bytes, 18);
    const auto rawHeight = ReadAt<std::int32_t>(bytes, 22);
    const auto bitCount = ReadAt<std::uint16_t>(bytes, 28);
    const auto compression = ReadAt<std::uint32_t>(bytes, 30);
    if (width <= 0 || rawHeight == 0 || (bitCount != 24 && bitCount != 32) ||
        (compression != BI_RGB && !(compression == BI_BITFIELDS && bitCount == 32)))
        throw Exception("Cannot read picture: only uncompressed 24- and 32-bit bitmaps are built in");
    const bool bottomUp = rawHeight > 0;
    const int height = bottomUp ? rawHeight : -rawHeight;
    const std::size_t bytesPerPixel = bitCount / 8;
    const std::size_t stride = (static_cast<std::size_t>(width) * bytesPerPixel + 3) & ~std::size_t{3};
    if (offBits + stride * static_cast<std::size_t>(height) > bytes.size())
        throw Exception("Cannot read picture: the bitmap is cut short");

    TPixels pixels{width, height, std::vector<std::uint32_t>(static_cast<std::size_t>(width) * height)};
    for (int y = 0; y < height; ++y) {
        const int row = bottomUp ? height - 1 - y : y;
        const auto* source = reinterpret_cast<const unsigned char*>(bytes.data()) + offBits +
                             stride * static_cast<std::size_t>(row);
        for (int x = 0; x < width; ++x) {
            const unsigned char* p = source + static_cast<std::size_t>(x) * bytesPerPixel;
            pixels.Data[static_cast<std::size_t>(y) * width + x] = static_cast<std::uint32_t>(p[0]) |
                                                                   static_cast<std::uint32_t>(p[1]) << 8 |
                                                                   static_cast<std::uint32_t>(p[2]) << 16;
        }
    }
    return pixels;
}

TPixels DecodeJpeg(const std::string& bytes) {
    win32::ComPtr<IWICImagingFactory> factory;
    Check(::CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                             factory.PutVoid()),
          "creating the imaging factory");
    win32::ComPtr<IWICStream> stream;
    Check(factory->CreateStream(stream.Put()), "creating a stream");
    // WIC reads the picture where it lies; the bytes outlive the decoder below.
    Check(stream->InitializeFromMemory(reinterpret_cast<BYTE*>(const_cast<char*>(bytes.data())),
                                       static_cast<DWORD>(bytes.size())),
          "opening the picture");
    win32::ComPtr<IWICBitmapDecoder> decoder;
    Check(factory->CreateDecoderFromStream(stream.Get(), &GUID_ContainerFormatJpeg,
                                           WICDecodeMetadataCacheOnDemand, decoder.Put()),
          "reading the JPEG header");
    win32::ComPtr<IWICBitmapFrameDecode> frame;
    Check(decoder->GetFrame(0, frame.Put()), "reading the frame");
    win32::ComPtr<IWICFormatConverter> converter;
    Check(factory->CreateFormatConverter(converter.Put()), "creating a converter");
    Check(converter->Initialize(frame.Get(), GUID_WICPixelFormat32bppBGR, WICBitmapDitherTypeNone, nullptr,
                                0.0, WICBitmapPaletteTypeCustom),
          "converting the pixels");
    UINT width = 0;
    UINT height = 0;
    Check(converter->GetSize(&width, &height), "reading the size");
    TPixels pixels{static_cast<int>(width), static_cast<int>(height),
                   std::vector<std::uint32_t>(static_cast<std::size_t>(width) * height)};
    Check(converter->CopyPixels(nullptr, width * 4, static_cast<UINT>(pixels.Data.size() * 4),
                                reinterpret_cast<BYTE*>(pixels.Data.data())),
          "copying the pixels");
    for (std::uint32_t& p : pixels.Data)
        p &= 0x00FFFFFF;
    return pixels;
}

TPixels LoadPicture(std::string_view asset) {
    const std::string bytes = LoadResourceBytes(AssetResourceName(asset));
    if (asset.ends_with(".jpg"))
        return DecodeJpeg(bytes);
    return DecodeBmp(bytes);
}

} // namespace pc
