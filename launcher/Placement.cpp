#include "Placement.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>

namespace startell {
namespace {

constexpr double kTwipsPerInch = 1440.0;

int ClampToInt(double v) {
  if (!(v > INT_MIN)) return INT_MIN;  // also NaN
  if (v >= INT_MAX) return INT_MAX;
  return static_cast<int>(v);
}

double Dpi(double dpi) { return dpi > 0 ? dpi : 96.0; }

// Places [pos, pos + len) inside [lo, lo + span), len <= span.
int FitSpan(int pos, int len, int lo, int span) {
  const int64_t hi = static_cast<int64_t>(lo) + span - len;
  return static_cast<int>(std::clamp<int64_t>(pos, lo, hi));
}

}  // namespace

Rect ReadMainRect(const platform::settings::Profile& p) {
  return Rect{p.GetInt(kSettingsSection, kKeyLeft, kDefaultMainRect.left),
              p.GetInt(kSettingsSection, kKeyTop, kDefaultMainRect.top),
              p.GetInt(kSettingsSection, kKeyWidth, kDefaultMainRect.width),
              p.GetInt(kSettingsSection, kKeyHeight, kDefaultMainRect.height)};
}

void WriteMainRect(platform::settings::Profile& p, const Rect& r) {
  p.SetInt(kSettingsSection, kKeyLeft, r.left);
  p.SetInt(kSettingsSection, kKeyTop, r.top);
  p.SetInt(kSettingsSection, kKeyWidth, r.width);
  p.SetInt(kSettingsSection, kKeyHeight, r.height);
}

Rect FitToScreen(Rect r, const Rect& screen) {
  r.width = std::max(r.width, kMinMainSize);
  r.height = std::max(r.height, kMinMainSize);
  if (screen.width <= 0 || screen.height <= 0) return r;
  r.width = std::min(r.width, screen.width);
  r.height = std::min(r.height, screen.height);
  r.left = FitSpan(r.left, r.width, screen.left, screen.width);
  r.top = FitSpan(r.top, r.height, screen.top, screen.height);
  return r;
}

Point PlacePicture(Size area, Size picture) {
  const int64_t freeW = static_cast<int64_t>(area.width) - picture.width;
  const int64_t freeH = static_cast<int64_t>(area.height) - picture.height;
  return Point{static_cast<int>(freeW / 2), static_cast<int>(freeH * 4 / 10)};
}

int TwipsToPixels(int twips, double dpi) {
  return ClampToInt(std::lround(twips * Dpi(dpi) / kTwipsPerInch));
}

int PixelsToTwips(int pixels, double dpi) {
  return ClampToInt(std::lround(pixels * kTwipsPerInch / Dpi(dpi)));
}

PixelPlacement PlaceInPixels(const Rect& twips, double dpiX, double dpiY) {
  return PixelPlacement{twips, Rect{TwipsToPixels(twips.left, dpiX), TwipsToPixels(twips.top, dpiY),
                                    TwipsToPixels(twips.width, dpiX),
                                    TwipsToPixels(twips.height, dpiY)}};
}

Rect TwipsOfPixels(const Rect& pixels, double dpiX, double dpiY, const PixelPlacement& placed) {
  if (pixels == placed.pixels) return placed.twips;
  return Rect{PixelsToTwips(pixels.left, dpiX), PixelsToTwips(pixels.top, dpiY),
              PixelsToTwips(pixels.width, dpiX), PixelsToTwips(pixels.height, dpiY)};
}

}  // namespace startell
