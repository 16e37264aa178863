#pragma once

// The main window as designed, in one place: every control's place in twips (15 twips make
// one pixel at 96 dpi), its container, caption, font and colours. Form1 builds itself from
// this table.

#include <array>
#include <string_view>

namespace form1design {

constexpr int kTwipsPerPixel = 15;
constexpr int pixels(int twips)
{
    return twips / kTwipsPerPixel;
}

struct Rgb
{
    int red = -1; // -1: the platform's standard colour
    int green = -1;
    int blue = -1;
    constexpr bool isSet() const { return red >= 0; }
};

struct Font
{
    std::string_view face; // empty: the window's default font
    int hundredthsOfPoint = 0;
    bool bold = false;
};

enum class Kind
{
    Frame,
    ComboBox,
    LineEdit,
    TextEdit,
    CheckBox,
    PictureButton,
    PictureOnlyButton,
    Label,
    StatusLine, // a label that assistive technology hears as a status bar
    Picture,
};

struct Control
{
    std::string_view name;
    Kind kind;
    std::string_view container; // empty: the window itself
    std::string_view caption;
    Font font;
    int left, top, width, height; // twips, relative to the container
    Rgb foreground;
    Rgb background;
    std::string_view picture; // resource path
    std::string_view toolTip;
    // For assistive technology, from the caption a sighted user reads beside the control.
    std::string_view accessibleName;
};

// The window: client area and its fixed place on the screen.
constexpr std::string_view kCaption = "Vorelin";
constexpr int kLeft = 4410, kTop = 1650, kWidth = 5550, kHeight = 4620;
constexpr Font kDefaultFont{"MS Sans Serif", 825, false};

constexpr Font arial825Bold{"Arial", 825, true};
constexpr Font arial825{"Arial", 825, false};
constexpr Font arial9Bold{"Arial", 900, true};
constexpr Font system975Bold{"System", 975, true};
// The status line's narrow face: every status text fits its box whole (the widest, 156 px of
// 159), where Arial's width cut three of them at both ends.
constexpr Font statusFont{"Liberation Sans Narrow", 825, true};

// The backgrounds that controls with a designed text colour were designed against, kept also
// under a dark desktop palette so that the text stays readable: white for boxes, the classic
// face colour for frames and labels.
constexpr Rgb kBoxBackground{255, 255, 255};
constexpr Rgb kFaceBackground{212, 208, 200};

// Parents come before their children; the order is also the creation order.
// clang-format off
constexpr std::array<Control, 19> kControls{{
//   name        kind                     container  caption                     font                           left   top  width height  foreground     background     picture    tip             accessible name
    {"Frame1",   Kind::Frame,             "",        "Enviar Mensaje a:",        arial825Bold,                    60,   60, 2610,  795, {},            {},            "",        "",             ""},
    {"Combo1",   Kind::ComboBox,          "Frame1",  "",                         system975Bold,                  165,  315, 2295,  360, {0, 0, 255},   {},            "",        "",             "Enviar Mensaje a:"},
    {"Text2",    Kind::LineEdit,          "Frame1",  "",                         {"Arial", 1125, false},         195,  315, 2145,  345, {},            {},            "",        "",             ""},
    {"Frame2",   Kind::Frame,             "",        "Mensaje",                  arial9Bold,                      60,  960, 2625, 3555, {},            {},            "",        "",             ""},
    {"Frame4",   Kind::Frame,             "Frame2",  "Nombre Personalizado",     arial825Bold,                    90,  225, 2445,  780, {0, 0, 192},   {},            "",        "",             ""},
    {"Text3",    Kind::LineEdit,          "Frame4",  "",                         arial825Bold,                   120,  285, 2205,  360, {},            {},            "",        "",             "Nombre Personalizado"},
    {"Text1",    Kind::TextEdit,          "Frame2",  "",                         system975Bold,                  105, 1080, 2415, 2370, {128, 128, 128}, {},          "",        "",             "Mensaje"},
    {"Frame3",   Kind::Frame,             "",        "Accion",                   arial9Bold,                    2850, 1815, 2580, 1710, {},            {},            "",        "",             ""},
    {"Check1",   Kind::CheckBox,          "Frame3",  "Borrar Mensaje al Enviar", {"Tahoma", 825, false},         150,  255, 2115,  420, {},            {},            "",        "",             ""},
    {"Command1", Kind::PictureButton,     "Frame3",  "ENVIAR",                   arial825,                        75,  675,  780,  615, {},            {},            "send",    "",             ""},
    {"Command2", Kind::PictureButton,     "Frame3",  "BORRAR",                   arial825,                       900,  660,  780,  630, {},            {},            "clear",   "",             ""},
    {"Label1",   Kind::StatusLine,        "Frame3",  "",                         statusFont,                      75, 1350, 2415,  300, {0, 0, 128},   {255, 255, 0}, "",        "",             ""},
    {"Frame5",   Kind::Frame,             "",        "Enviar mi IP",             arial825Bold,                  2850,   60, 2580, 1740, {},            {},            "",        "",             ""},
    {"Label2",   Kind::Label,             "Frame5",  "MI IP ADDRESS",            arial825,                       165,  285, 1260,  210, {0, 0, 255},   {},            "",        "",             ""},
    {"Label3",   Kind::Label,             "Frame5",  "",                         {"Arial Unicode MS", 975, true}, 150,  540, 2295,  360, {0, 255, 0},   {0, 0, 0},     "",        "",             ""},
    {"Command4", Kind::PictureButton,     "Frame5",  "Enviar",                   {},                             135,  945,  900,  720, {},            {},            "send-ip", "Enviar mi IP", "Enviar mi IP"},
    {"Command5", Kind::PictureOnlyButton, "Frame5",  "",                         {},                            1470,  930,  945,  735, {},            {},            "help",    "Ayuda",        "Ayuda"},
    {"Frame6",   Kind::Frame,             "",        "",                         {},                            2865, 3525, 2550,  975, {},            {},            "",        "",             ""},
    {"Image1",   Kind::Picture,           "Frame6",  "",                         {},                              45,  135, 2445,  765, {},            {},            "logo",    "",             ""},
}};
// clang-format on

// Focus order for the Tab key.
constexpr std::array<std::string_view, 8> kTabOrder{"Combo1",   "Text3",    "Text1",    "Check1",
                                                    "Command1", "Command2", "Command4", "Command5"};

} // namespace form1design
