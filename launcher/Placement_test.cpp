#include "Placement.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <fstream>

namespace startell {
namespace {

namespace fs = std::filesystem;

}  // namespace

void PrintTo(const Rect& r, std::ostream* os) {
  *os << "{" << r.left << ", " << r.top << ", " << r.width << ", " << r.height << "}";
}
void PrintTo(const Point& p, std::ostream* os) { *os << "{" << p.x << ", " << p.y << "}"; }

namespace {

class TempDir {
 public:
  TempDir() {
    std::string t = (fs::temp_directory_path() / "startell_place_XXXXXX").string();
    path_ = ::mkdtemp(t.data());
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

Rect ReadFrom(const std::string& ini) {
  TempDir dir;
  const fs::path file = dir.path() / "Startell.ini";
  std::ofstream(file) << ini;
  platform::settings::Profile p(file);
  EXPECT_TRUE(p.Load());
  return ReadMainRect(p);
}

TEST(MainRectSettings, MissingOrMalformedKeysTakeTheirDefaults) {
  struct Case {
    const char* ini;
    Rect want;
  } cases[] = {
      {"", {1000, 1000, 6500, 6500}},
      {"[Settings]\nMainLeft=200\nMainTop=300\nMainWidth=7000\nMainHeight=5000\n",
       {200, 300, 7000, 5000}},
      {"[settings]\nmainleft=-15\nMAINHEIGHT=4000\n", {-15, 1000, 6500, 4000}},
      {"[Settings]\nMainLeft=abc\nMainTop=12x\nMainWidth=\nMainHeight=99999999999\n",
       {1000, 1000, 6500, 6500}},
      {"[Other]\nMainLeft=5\n", {1000, 1000, 6500, 6500}},
  };
  for (const Case& c : cases) EXPECT_EQ(ReadFrom(c.ini), c.want) << c.ini;
}

TEST(MainRectSettings, WrittenRectReadsBackUnderTheFourKeys) {
  TempDir dir;
  const fs::path file = dir.path() / "Startell" / "Startell.ini";
  {
    platform::settings::Profile p(file);
    WriteMainRect(p, Rect{-300, 45, 9000, 3000});
    ASSERT_TRUE(p.Save());
  }
  platform::settings::Profile q(file);
  ASSERT_TRUE(q.Load());
  EXPECT_EQ(q.GetInt("Settings", "MainLeft", 0), -300);
  EXPECT_EQ(q.GetInt("Settings", "MainTop", 0), 45);
  EXPECT_EQ(q.GetInt("Settings", "MainWidth", 0), 9000);
  EXPECT_EQ(q.GetInt("Settings", "MainHeight", 0), 3000);
  EXPECT_EQ(ReadMainRect(q), (Rect{-300, 45, 9000, 3000}));
}

TEST(FitToScreen, KeepsTheWindowWhollyOnTheScreenAndUsable) {
  const Rect screen{0, 0, 28800, 16200};  // 1920 x 1080 pixels
  struct Case {
    Rect in;
    Rect screen;
    Rect want;
  } cases[] = {
      {{1000, 1000, 6500, 6500}, screen, {1000, 1000, 6500, 6500}},
      // Stored on a larger screen, or corrupt: brought back.
      {{40000, 30000, 6500, 6500}, screen, {22300, 9700, 6500, 6500}},
      {{-5000, -1, 6500, 6500}, screen, {0, 0, 6500, 6500}},
      // Sizes below the minimum or above the screen.
      {{1000, 1000, -20, 0}, screen, {1000, 1000, kMinMainSize, kMinMainSize}},
      {{1000, 1000, 90000, 20000}, screen, {0, 0, 28800, 16200}},
      // Extreme values do not overflow.
      {{INT_MAX, INT_MIN, INT_MAX, INT_MAX}, screen, {0, 0, 28800, 16200}},
      // A screen whose origin is not at 0 (a second monitor).
      {{0, 0, 6500, 6500}, {28800, -3000, 14400, 10800}, {28800, 0, 6500, 6500}},
      {{0, -9000, 6500, 6500}, {28800, -3000, 14400, 10800}, {28800, -3000, 6500, 6500}},
      // Unknown screen: only the minimum size applies.
      {{40000, -9, 100, 7000}, {}, {40000, -9, kMinMainSize, 7000}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(FitToScreen(c.in, c.screen), c.want) << ::testing::PrintToString(c.in);
}

TEST(PlacePicture, CentredAcrossWithFourTenthsOfTheFreeHeightAbove) {
  EXPECT_EQ(PlacePicture({800, 600}, {400, 200}), (Point{200, 160}));
  EXPECT_EQ(PlacePicture({401, 100}, {400, 100}), (Point{0, 0}));
  EXPECT_EQ(PlacePicture({400, 200}, {400, 200}), (Point{0, 0}));
  // A picture larger than its area is cropped evenly across.
  EXPECT_EQ(PlacePicture({300, 100}, {400, 200}), (Point{-50, -40}));
}

TEST(Twips, FifteenTwipsToThePixelAtNinetySixDpi) {
  EXPECT_EQ(TwipsToPixels(6500, 96), 433);
  EXPECT_EQ(TwipsToPixels(1000, 96), 67);
  EXPECT_EQ(PixelsToTwips(433, 96), 6495);
  EXPECT_EQ(TwipsToPixels(1440, 0), 96);  // unknown dpi counts as 96
  EXPECT_EQ(TwipsToPixels(1440, 144), 144);
}

TEST(Twips, PixelsSurviveARoundTripAtAnyDpi) {
  for (double dpi : {72.0, 96.0, 110.0, 120.0, 144.0, 192.0, 288.0})
    for (int px = -3000; px <= 8000; ++px)
      ASSERT_EQ(TwipsToPixels(PixelsToTwips(px, dpi), dpi), px) << dpi;
}

// The defaults are no whole number of pixels at 96 dpi (6500 twips is
// 433.3 pixels): an unmoved window reads back what it was given.
TEST(Twips, UnmovedWindowReadsBackTheTwipsItWasPlacedWith) {
  const PixelPlacement placed = PlaceInPixels(kDefaultMainRect, 96, 96);
  EXPECT_EQ(placed.pixels, (Rect{67, 67, 433, 433}));
  EXPECT_EQ(TwipsOfPixels(placed.pixels, 96, 96, placed), kDefaultMainRect);
  // Moved by a pixel: the pixels' own twips.
  EXPECT_EQ(TwipsOfPixels(Rect{68, 67, 433, 433}, 96, 96, placed), (Rect{1020, 1005, 6495, 6495}));
  // And those are stable from then on.
  const PixelPlacement again = PlaceInPixels(Rect{1020, 1005, 6495, 6495}, 96, 96);
  EXPECT_EQ(again.pixels, (Rect{68, 67, 433, 433}));
}

}  // namespace
}  // namespace startell
