// Where the launcher's main window and its picture go.
//
// The main window's position and size are kept in twips (1440 to the inch)
// in the per-user settings, section "Settings", keys "MainLeft", "MainTop",
// "MainWidth" and "MainHeight".  Front ends convert to and from pixels with
// the screen's dots per inch.
#pragma once

#include "platform/settings/settings.h"

namespace startell {

struct Rect {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
  friend bool operator==(const Rect&, const Rect&) = default;
};

struct Size {
  int width = 0;
  int height = 0;
  friend bool operator==(const Size&, const Size&) = default;
};

struct Point {
  int x = 0;
  int y = 0;
  friend bool operator==(const Point&, const Point&) = default;
};

inline constexpr char kSettingsFolder[] = "Startell";
inline constexpr char kSettingsName[] = "Startell";
inline constexpr char kSettingsSection[] = "Settings";
inline constexpr char kKeyLeft[] = "MainLeft";
inline constexpr char kKeyTop[] = "MainTop";
inline constexpr char kKeyWidth[] = "MainWidth";
inline constexpr char kKeyHeight[] = "MainHeight";

// The main window on first use, in twips.
inline constexpr Rect kDefaultMainRect{1000, 1000, 6500, 6500};
// The smallest main window size accepted from the settings, in twips.
inline constexpr int kMinMainSize = 1440;

// The stored main window rectangle; a key that is missing or does not hold
// a decimal integer takes its default.
Rect ReadMainRect(const platform::settings::Profile& profile);
void WriteMainRect(platform::settings::Profile& profile, const Rect& r);

// Fits a stored rectangle to the screen's available area (twips): width and
// height at least kMinMainSize and at most the area's, then moved so that
// the whole window lies on the area.  An empty area (unknown screen) only
// applies the minimum size.
Rect FitToScreen(Rect r, const Rect& screen);

// The picture's top-left corner in an area: centred across, with 4/10 of
// the free height above it and 6/10 below.  Negative when the picture is
// larger than the area (it is then cropped evenly).  The launcher passes its
// window's area, not the screen's: placed by the screen's size, the picture
// would land outside a 6500-twip window on any larger screen.
Point PlacePicture(Size area, Size picture);

// Twips and pixels at a given number of dots per inch (96 when dpi is not
// positive).  PixelsToTwips followed by TwipsToPixels gives back the pixels.
int TwipsToPixels(int twips, double dpi);
int PixelsToTwips(int pixels, double dpi);

// A rectangle in twips and the whole pixels that it covers, as the front
// end puts a window on the screen.
struct PixelPlacement {
  Rect twips;
  Rect pixels;
};
PixelPlacement PlaceInPixels(const Rect& twips, double dpiX, double dpiY);
// The twips of a window's pixel rectangle.  A window still where `placed`
// put it reads back the twips it was given, not their rounding to whole
// pixels, so opening and closing the launcher leaves the settings as they
// were.
Rect TwipsOfPixels(const Rect& pixels, double dpiX, double dpiY, const PixelPlacement& placed);

}  // namespace startell
