// The window's pictures, built into the program: BMPs through Qt, the JPEG button faces through libjpeg.
#pragma once

#include <QByteArray>
#include <QImage>

#include <string_view>

namespace pc {

// Decodes a baseline JPEG into a 24-bit RGB image; raises Exception on data libjpeg rejects.
QImage DecodeJpeg(const QByteArray& data);

// Loads one embedded picture by its asset file name (as the layout names it); raises Exception when it is
// missing or unreadable.
QImage LoadPicture(std::string_view asset);

} // namespace pc
