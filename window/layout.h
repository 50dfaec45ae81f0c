// The main window's layout: everything about the window that is fixed before any code runs. Pictures are
// named by their asset file; each front end finds them where its edition keeps them built in.
#pragma once

#include "window/geometry.h"

#include <array>
#include <string_view>

namespace pc {

enum class TControlKind { Picture, Label, Memo, WebView, ProgressBar };

// How a picture is drawn into its box.
enum class TPictureDrawing {
    Stretch,           // scaled to fill the box
    Natural,           // at its own size, opaque
    TransparentNatural // at its own size; pixels equal to the bottom-left pixel are not drawn
};

// The desktop colours that controls take by role.
enum class TColourRole { None, CaptionGradient, Light3D, WindowText };

struct TFontStyle {
    std::string_view Family; // empty: the window's default font
    int PixelHeight = 0;
    bool Bold = false;
    bool Underline = false;
};

struct TControlLayout {
    std::string_view Name;
    TControlKind Kind;
    int Left, Top, Width, Height;
    bool Visible;
    std::string_view Text = {};  // labels: the stored caption
    std::string_view Asset = {}; // pictures: the asset file of the embedded picture
    TPictureDrawing Drawing = TPictureDrawing::Natural;
    TFontStyle Font = {};
    TColourRole Colour = TColourRole::None;
    bool AutoSize = true;    // labels size themselves to their text
    bool CentreText = false; // text centred on the box's top line
};

inline constexpr int kFormWidth = 564;
inline constexpr int kFormHeight = 408;
inline constexpr TColour kKeyColour = MakeColour(255, 0, 255);
inline constexpr std::string_view kFormCaption = "Patch Client";
inline constexpr TFontStyle kDefaultFont{"MS Sans Serif", 11, false, false};

inline constexpr int kPatchTimerInterval = 1;      // milliseconds
inline constexpr int kStandbyTimerInterval = 1000; // milliseconds

inline constexpr std::string_view kCreditText = "Patch Client - keeps your game up to date";

// Controls from the bottom of the stacking order up. Pictures and labels are drawn by the form in this
// order; the memo, the news view and the progress bar are child windows above all of them.
inline constexpr std::array<TControlLayout, 23> kMainFormLayout = {{
    {"Image_Background", TControlKind::Picture, 0, 0, 564, 408, true, "", "background.bmp",
     TPictureDrawing::Stretch},
    {"Image_Back", TControlKind::Picture, 0, 0, 261, 199, false, "", "back.bmp",
     TPictureDrawing::TransparentNatural},
    {"Image_Start", TControlKind::Picture, 234, 75, 21, 21, true, "", "start.jpg"},
    {"Image_Start_Over", TControlKind::Picture, 234, 75, 21, 21, false, "", "start_over.jpg"},
    {"Image_WebSite", TControlKind::Picture, 213, 113, 21, 21, true, "", "website.jpg"},
    {"Image_WebSite_Over", TControlKind::Picture, 213, 113, 21, 21, false, "", "website_over.jpg"},
    {"Image_ControlPanel", TControlKind::Picture, 184, 143, 21, 21, true, "", "controlpanel.jpg"},
    {"Image_ControlPanel_Over", TControlKind::Picture, 184, 143, 21, 21, false, "", "controlpanel_over.jpg"},
    {"Image_Forum", TControlKind::Picture, 149, 166, 21, 21, true, "", "forum.jpg"},
    {"Image_Forum_Over", TControlKind::Picture, 149, 166, 21, 21, false, "", "forum_over.jpg"},
    {"Image_Exit", TControlKind::Picture, 103, 177, 21, 21, true, "", "exit.jpg"},
    {"Image_Exit_Over", TControlKind::Picture, 103, 177, 21, 21, false, "", "exit_over.jpg"},
    {"Label_Standby",
     TControlKind::Label,
     478,
     162,
     63,
     14,
     false,
     "Please Wait",
     "",
     TPictureDrawing::Natural,
     {"Arial", 11, true, false},
     TColourRole::CaptionGradient},
    {"Label_Start",
     TControlKind::Label,
     264,
     78,
     30,
     16,
     false,
     "Start",
     "",
     TPictureDrawing::Natural,
     {"Arial", 13, true, false},
     TColourRole::CaptionGradient},
    {"Label_WebSite",
     TControlKind::Label,
     240,
     120,
     51,
     16,
     false,
     "Website",
     "",
     TPictureDrawing::Natural,
     {"Arial", 13, true, false},
     TColourRole::CaptionGradient},
    {"Label_ControlPanel",
     TControlKind::Label,
     214,
     154,
     87,
     16,
     false,
     "Control Panel",
     "",
     TPictureDrawing::Natural,
     {"Arial", 13, true, false},
     TColourRole::CaptionGradient},
    {"Label_Forum",
     TControlKind::Label,
     174,
     178,
     41,
     16,
     false,
     "Forum",
     "",
     TPictureDrawing::Natural,
     {"Arial", 13, true, false},
     TColourRole::CaptionGradient},
    {"Label_Exit",
     TControlKind::Label,
     125,
     196,
     24,
     16,
     false,
     "Exit",
     "",
     TPictureDrawing::Natural,
     {"Arial", 13, true, false},
     TColourRole::CaptionGradient},
    {"Label_advertisement",
     TControlKind::Label,
     304,
     392,
     253,
     13,
     true,
     kCreditText,
     "",
     TPictureDrawing::Natural,
     {},
     TColourRole::WindowText},
    {"Label_ServerName",
     TControlKind::Label,
     376,
     8,
     176,
     25,
     true,
     "",
     "",
     TPictureDrawing::Natural,
     {"MS Sans Serif", 16, true, true},
     TColourRole::CaptionGradient,
     false,
     true},
    {"Memo_Log",
     TControlKind::Memo,
     374,
     74,
     175,
     80,
     true,
     "",
     "",
     TPictureDrawing::Natural,
     {"Arial", 11, false, false},
     TColourRole::CaptionGradient},
    {"WebBrowser", TControlKind::WebView, 39, 231, 464, 98, true, "", ""},
    {"ProgressBar", TControlKind::ProgressBar, 368, 163, 110, 12, false, "", ""},
}};

const TControlLayout& LayoutOf(std::string_view name); // throws for a name not in the layout

// The log's background. The light 3-D desktop colour would leave the log's caption-gradient letters at a
// contrast of about 1.3 to 1, which nobody can read; the log takes the dark of the screen it sits in.
inline constexpr TColour kLogBackground = MakeColour(0x12, 0x1A, 0x28);

// The desktop colours chosen for this platform.
TColour RoleColour(TColourRole role);

// Where the window goes when it is first shown: centred by the virtual desktop's width and height alone,
// never at a negative coordinate. Launchers started together would open exactly on top of each other, so
// each running launcher holds a spot, 0 for the first: spot n moves the window n steps of
// kPlacementCascade pixels down and to the right of the centred place, counted round within the room the
// desktop leaves there (a desktop without room keeps every window centred).
inline constexpr int kPlacementCascade = 24;
TPoint MainFormPlacement(TSize virtualDesktop, int spot = 0);

} // namespace pc
