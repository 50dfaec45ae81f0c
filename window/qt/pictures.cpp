#include "window/qt/pictures.h"

#include "framework/exceptions.h"

#include <QFile>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <string>
#include <vector>

#include <jpeglib.h>

namespace pc {

namespace {

// libjpeg reports fatal errors through error_exit, which must not return; it jumps back to the decoder.
struct TJpegError {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void JpegErrorExit(j_common_ptr info) {
    auto* error = reinterpret_cast<TJpegError*>(info->err);
    (*info->err->format_message)(info, error->message);
    std::longjmp(error->jump, 1);
}

void JpegSilence(j_common_ptr, int) {}

// Runs the decode between setjmp and longjmp with only trivially destructible state in this frame.
bool DecodeInto(const unsigned char* data, unsigned long size, std::vector<unsigned char>& pixels, int& width,
                int& height, char* message) {
    jpeg_decompress_struct info{};
    TJpegError error{};
    info.err = jpeg_std_error(&error.manager);
    error.manager.error_exit = JpegErrorExit;
    error.manager.emit_message = JpegSilence;
    if (setjmp(error.jump)) {
        jpeg_destroy_decompress(&info);
        std::snprintf(message, JMSG_LENGTH_MAX, "%s", error.message);
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, data, size);
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    width = static_cast<int>(info.output_width);
    height = static_cast<int>(info.output_height);
    const std::size_t stride = static_cast<std::size_t>(width) * 3;
    pixels.resize(stride * static_cast<std::size_t>(height));
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = pixels.data() + stride * info.output_scanline;
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return true;
}

} // namespace

QImage DecodeJpeg(const QByteArray& data) {
    std::vector<unsigned char> pixels;
    int width = 0;
    int height = 0;
    char message[JMSG_LENGTH_MAX] = {};
    if (!DecodeInto(reinterpret_cast<const unsigned char*>(data.constData()),
                    static_cast<unsigned long>(data.size()), pixels, width, height, message))
        throw Exception(std::string("Cannot decode JPEG picture: ") + message);
    QImage image(width, height, QImage::Format_RGB888);
    for (int y = 0; y < height; ++y)
        std::copy_n(pixels.data() + static_cast<std::size_t>(y) * width * 3,
                    static_cast<std::size_t>(width) * 3, image.scanLine(y));
    return image;
}

QImage LoadPicture(std::string_view asset) {
    const std::string resource = ":/assets/" + std::string(asset);
    const QString path = QString::fromStdString(resource);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw Exception("Cannot open picture " + resource);
    const QByteArray data = file.readAll();
    QImage image;
    if (path.endsWith(QLatin1String(".jpg")))
        image = DecodeJpeg(data);
    else
        image = QImage::fromData(data, "BMP");
    if (image.isNull())
        throw Exception("Cannot read picture " + resource);
    return image;
}

} // namespace pc
