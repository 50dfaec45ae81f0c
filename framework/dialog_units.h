// The layout of the program's own message forms in dialog units of their font, as the original desktop
// lays out its message boxes; the same numbers for both editions' forms.
#pragma once

namespace pc {

// Windows' MulDiv: n * numerator / denominator rounded to the nearest integer.
constexpr int MulDivRounded(int n, int numerator, int denominator) {
    return static_cast<int>((static_cast<long long>(n) * numerator * 2 + denominator) / (2LL * denominator));
}

// The letters whose average width makes the horizontal unit.
inline constexpr const char* kDialogUnitLetters = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
inline constexpr int kDialogUnitLetterCount = 52;

// The dialog units of a font: a quarter of the average letter width, an eighth of the letter height.
struct TDialogUnits {
    int AverageWidth = 1;
    int Height = 1;
    constexpr int X(int units) const { return MulDivRounded(units, AverageWidth, 4); }
    constexpr int Y(int units) const { return MulDivRounded(units, Height, 8); }
};

// The message form's margins, spacing and buttons in pixels of a font's dialog units. A button is at least
// its caption's width plus 8 pixels.
struct TMessageFormMetrics {
    int HMargin, VMargin, VSpacing, ButtonHeight, ButtonGap, ButtonWidth;
};
constexpr TMessageFormMetrics MessageFormMetrics(const TDialogUnits& du) {
    return {du.X(8), du.Y(8), du.Y(10), du.Y(14), du.X(4), du.X(50)};
}
inline constexpr int kButtonCaptionPadding = 8;

} // namespace pc
