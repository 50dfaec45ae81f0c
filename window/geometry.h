// Points, sizes and boxes of the window in client pixels (x to the right, y downwards), without any
// toolkit's types, so that the layout and the window model read the same in every edition.
#pragma once

#include <algorithm>
#include <cstdint>

namespace pc {

struct TPoint {
    int X = 0;
    int Y = 0;
    friend bool operator==(TPoint, TPoint) = default;
};

struct TSize {
    int Width = 0;
    int Height = 0;
    friend bool operator==(TSize, TSize) = default;
};

// A box by its top-left corner and its size; it holds the pixels from Left to Left + Width - 1.
struct TRect {
    int Left = 0;
    int Top = 0;
    int Width = 0;
    int Height = 0;

    int Right() const { return Left + Width; } // one past the last column
    int Bottom() const { return Top + Height; }
    TPoint TopLeft() const { return {Left, Top}; }
    TSize Size() const { return {Width, Height}; }
    bool Empty() const { return Width <= 0 || Height <= 0; }
    bool Contains(TPoint p) const { return p.X >= Left && p.X < Right() && p.Y >= Top && p.Y < Bottom(); }
    bool Intersects(const TRect& r) const {
        return !Empty() && !r.Empty() && Left < r.Right() && r.Left < Right() && Top < r.Bottom() &&
               r.Top < Bottom();
    }
    // The smallest box holding both; an empty box adds nothing.
    TRect United(const TRect& r) const {
        if (r.Empty())
            return *this;
        if (Empty())
            return r;
        const int left = std::min(Left, r.Left), top = std::min(Top, r.Top);
        return {left, top, std::max(Right(), r.Right()) - left, std::max(Bottom(), r.Bottom()) - top};
    }
    friend bool operator==(const TRect&, const TRect&) = default;
};

// A colour as 0xAARRGGBB.
using TColour = std::uint32_t;

constexpr TColour MakeColour(int r, int g, int b) {
    return 0xFF000000u | (static_cast<TColour>(r) << 16) | (static_cast<TColour>(g) << 8) |
           static_cast<TColour>(b);
}

} // namespace pc
