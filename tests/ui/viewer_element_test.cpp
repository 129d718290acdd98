#include "ui/viewer_element.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QImage>
#include <QMenu>
#include <QMouseEvent>
#include <algorithm>
#include <array>
#include <chrono>
#include <ctime>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "app/channel_commands.h"
#include "core/channel_record.h"
#include "core/viewer_settings.h"
#include "media/channel_display.h"
#include "support/wait_for.h"
#include "ui/tile_host.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

namespace ipcam::ui {
namespace {

// A solid 320x240 picture in the channel's display, made from full-range YUV planes as the
// Motion JPEG decoder leaves them: Y 29, U 255, V 107 is blue; Y 235 with neutral chroma is a
// light grey.
void showPicture(ChannelDisplay& display, PictureOverlay overlay, std::uint8_t y, std::uint8_t u,
                 std::uint8_t v, int kWidth = 320, int kHeight = 240) {
  const std::vector<std::uint8_t> luma(kWidth * kHeight, y);
  const std::vector<std::uint8_t> blue(kWidth * kHeight / 4, u);
  const std::vector<std::uint8_t> red(kWidth * kHeight / 4, v);
  PicturePlanes planes;
  planes.data = {luma.data(), blue.data(), red.data(), nullptr};
  planes.stride = {kWidth, kWidth / 2, kWidth / 2, 0};
  ASSERT_TRUE(display.convertPicture(pictureFormatOf(AV_PIX_FMT_YUVJ420P, AVCOL_RANGE_JPEG), planes,
                                     kWidth, kHeight));
  display.showConvertedPicture(overlay);
}

void showBluePicture(ChannelDisplay& display, PictureOverlay overlay) {
  showPicture(display, overlay, 29, 255, 107);
}

QImage render(CViewerElement& tile) {
  QImage image(tile.size(), QImage::Format_RGB32);
  image.fill(Qt::magenta);
  tile.render(&image);
  return image;
}

TEST(ViewerElement, PaintsThePictureStretchedWithItsFrames) {
  constexpr int kChannel = 14;
  ChannelRecord& record = channelRecord(kChannel);
  if (!record.display) record.display = std::make_shared<ChannelDisplay>(kChannel);
  CViewerElement tile(kChannel, nullptr);
  tile.resize(640, 480);

  record.status = kStatusLive;
  record.display->discardPicture();
  EXPECT_EQ(render(tile).pixelColor(320, 240), QColor(Qt::black)) << "no picture: black";

  showBluePicture(*record.display, PictureOverlay{});
  // A channel without a camera shows no picture, whatever its display still holds.
  record.status = kStatusNoSignal;
  EXPECT_EQ(render(tile).pixelColor(320, 240), QColor(Qt::black));
  record.status = kStatusLive;
  QImage image = render(tile);
  const QColor centre = image.pixelColor(320, 240);
  EXPECT_LT(centre.red(), 30);
  EXPECT_LT(centre.green(), 30);
  EXPECT_GT(centre.blue(), 230);
  EXPECT_GT(image.pixelColor(639, 479).blue(), 230) << "stretched to the tile's corner";

  // The selection frame is 2 picture pixels wide at 320, so 4 tile pixels here.
  tile.setSelected(true);
  image = render(tile);
  EXPECT_EQ(image.pixelColor(1, 240), QColor(0, 255, 0));
  EXPECT_EQ(image.pixelColor(320, 2), QColor(0, 255, 0));
  EXPECT_EQ(image.pixelColor(8, 240), centre);

  // The motion frame is 4 picture pixels wide, 8 tile pixels; the selection frame goes over it.
  showBluePicture(*record.display, PictureOverlay{true, false, false});
  image = render(tile);
  EXPECT_EQ(image.pixelColor(1, 240), QColor(0, 255, 0));
  EXPECT_EQ(image.pixelColor(6, 240), QColor(255, 0, 0));
  EXPECT_EQ(image.pixelColor(12, 240), centre);
  tile.setSelected(false);
  record.display->discardPicture();
}

// "Rec" sits in the picture's bottom right corner at every documented width, whole: the
// table's font height is the character cell's, so the text ends inside the picture.
TEST(ViewerElement, RecMarkStaysWithinThePicture) {
  constexpr int kChannel = 14;
  ChannelRecord& record = channelRecord(kChannel);
  if (!record.display) record.display = std::make_shared<ChannelDisplay>(kChannel);
  record.status = kStatusLive;
  for (const auto& [width, height] :
       {std::pair{320, 240}, std::pair{640, 480}, std::pair{1024, 768}, std::pair{1280, 1024}}) {
    CViewerElement tile(kChannel, nullptr);
    tile.resize(width, height);
    showPicture(*record.display, PictureOverlay{false, false, true}, 235, 128, 128, width, height);
    const QImage image = render(tile);
    const auto red = [&](int x, int y) {
      const QColor colour = image.pixelColor(x, y);
      return colour.red() > 150 && colour.green() < 100 && colour.blue() < 100;
    };
    int redPixels = 0;
    bool touchesEdge = false;
    for (int y = height * 3 / 4; y < height; ++y) {
      for (int x = width * 3 / 4; x < width; ++x) {
        if (!red(x, y)) continue;
        ++redPixels;
        touchesEdge = touchesEdge || x >= width - 2 || y >= height - 2;
      }
    }
    EXPECT_GT(redPixels, 20) << width << ": Rec is drawn";
    EXPECT_FALSE(touchesEdge) << width << ": Rec runs into the picture's edge";
  }
  record.display->discardPicture();
}

// The tile tells the channel's decoding how large it is on screen and when it is not shown,
// so the next picture is decoded and converted for that.
TEST(ViewerElement, TileReportsItsSizeAndVisibilityToTheDecoding) {
  constexpr int kChannel = 12;
  ChannelRecord& record = channelRecord(kChannel);
  if (!record.display) record.display = std::make_shared<ChannelDisplay>(kChannel);
  QWidget area;
  area.resize(640, 480);
  auto* tile = new CViewerElement(kChannel, &area);
  tile->setGeometry(0, 0, 160, 120);
  area.show();
  using Kind = TileTarget::Kind;
  const auto target = [&] { return record.display->tileTarget(); };
  EXPECT_EQ(target(), (TileTarget{Kind::kShown, 160, 120}));

  tile->setGeometry(0, 0, 640, 480);  // the one-tile layout
  EXPECT_EQ(target(), (TileTarget{Kind::kShown, 640, 480}));
  tile->hide();  // another layout leaves it out
  EXPECT_EQ(target().kind, Kind::kHidden);
  tile->setGeometry(0, 0, 213, 160);
  tile->show();
  EXPECT_EQ(target(), (TileTarget{Kind::kShown, 213, 160}));
}

// A 1280x960 camera picture converted at the size of a 320x240 tile: the pixels go in as they
// are, and the frames keep the camera's geometry (12 and 24 of its pixels at 1280), a quarter
// as wide on the tile: 3 and 6 tile pixels, not the 2 and 4 of a 320 picture.
TEST(ViewerElement, PictureAtTheTileSizeKeepsTheOverlaysOfTheCameraPicture) {
  constexpr int kChannel = 15;
  ChannelRecord& record = channelRecord(kChannel);
  if (!record.display) record.display = std::make_shared<ChannelDisplay>(kChannel);
  CViewerElement tile(kChannel, nullptr);
  tile.resize(320, 240);
  record.status = kStatusLive;

  constexpr int kWidth = 1280;
  constexpr int kHeight = 960;
  const std::vector<std::uint8_t> luma(kWidth * kHeight, 29);
  const std::vector<std::uint8_t> blue(kWidth * kHeight / 4, 255);
  const std::vector<std::uint8_t> red(kWidth * kHeight / 4, 107);
  PicturePlanes planes;
  planes.data = {luma.data(), blue.data(), red.data(), nullptr};
  planes.stride = {kWidth, kWidth / 2, kWidth / 2, 0};
  const TileTarget target{TileTarget::Kind::kShown, 320, 240};
  ASSERT_TRUE(record.display->convertPicture(pictureFormatOf(AV_PIX_FMT_YUVJ420P, AVCOL_RANGE_JPEG),
                                             planes, kWidth, kHeight, kWidth, kHeight,
                                             planConversion(kWidth, kHeight, target)));
  record.display->showConvertedPicture(PictureOverlay{true, false, false});
  record.display->withFrontPicture([](const PictureView& picture) {
    EXPECT_EQ(picture.width, 320);
    EXPECT_EQ(picture.pictureWidth, 1280);
  });

  tile.setSelected(true);
  const QImage image = render(tile);
  EXPECT_EQ(image.pixelColor(1, 120), QColor(0, 255, 0));
  EXPECT_EQ(image.pixelColor(4, 120), QColor(255, 0, 0));
  EXPECT_GT(image.pixelColor(8, 120).blue(), 230);
  EXPECT_EQ(image.pixelColor(319, 200), QColor(0, 255, 0)) << "the frames reach the far edges";
  EXPECT_GT(image.pixelColor(312, 232).blue(), 230);
  record.status = kStatusNoSignal;
  record.display->discardPicture();
}

// The tooltip of a live tile: the camera's picture size, pictures per second received and
// shown, and the bit rate; nothing while the channel is not live.
TEST(ViewerElement, StatusLineTellsSizeRatesAndBitRateOfALiveChannel) {
  constexpr int kChannel = 9;
  ChannelRecord& record = channelRecord(kChannel);
  CViewerElement tile(kChannel, nullptr);
  record.pictureWidth = 1280;
  record.pictureHeight = 1024;
  record.pictureCounters.receivedPerSecond = 25;
  record.pictureCounters.shownPerSecond = 24.9f;
  record.pictureCounters.bitsPerSecond = 12'400'000;
  record.status = kStatusLive;
  EXPECT_EQ(tile.statusLine(), QStringLiteral("1280x1024 · 25/25 fps · 12.4 Mbit/s"));
  record.status = kStatusDisconnected;
  EXPECT_TRUE(tile.statusLine().isEmpty());
  record.pictureCounters.reset();
  record.pictureWidth = 0;
  record.pictureHeight = 0;
  record.status = kStatusNoSignal;
}

int brightness(QColor colour) {
  return std::max({colour.red(), colour.green(), colour.blue()});
}

// The bottom-left corner where a frozen picture carries its age, as the range of brightness
// found there.
std::pair<int, int> cornerBrightness(const QImage& image) {
  int darkest = 255;
  int brightest = 0;
  for (int y = image.height() - 40; y < image.height(); ++y) {
    for (int x = 0; x < 80; ++x) {
      const int level = brightness(image.pixelColor(x, y));
      darkest = std::min(darkest, level);
      brightest = std::max(brightest, level);
    }
  }
  return {darkest, brightest};
}

// A live channel whose pictures stop: after three seconds the last picture is dimmed to well
// under half and a dark box in its corner shows the seconds since; the next picture brings
// it back to full brightness without the box. The tile's clock is moved on instead of
// waiting.
TEST(ViewerElement, FrozenPictureIsDimmedAndCarriesItsAgeUntilPicturesComeAgain) {
  constexpr int kChannel = 11;
  ChannelRecord& record = channelRecord(kChannel);
  if (!record.display) record.display = std::make_shared<ChannelDisplay>(kChannel);
  record.status = kStatusLive;
  CViewerElement tile(kChannel, nullptr);
  tile.resize(320, 240);
  auto now = std::chrono::steady_clock::now();
  tile.setClock([&now] { return now; });

  PictureOverlay overlay;
  overlay.decodedAt = std::time(nullptr);
  showPicture(*record.display, overlay, 235, 128, 128);
  const auto shownAt = record.display->lastPictureTime();
  ASSERT_TRUE(shownAt.has_value());

  now = *shownAt + std::chrono::milliseconds(2900);
  EXPECT_FALSE(tile.showsFrozenPicture());
  const QImage fresh = render(tile);
  const int live = brightness(fresh.pixelColor(160, 100));
  EXPECT_GT(live, 220);
  EXPECT_EQ(cornerBrightness(fresh), std::make_pair(live, live)) << "no marker on a live picture";

  now = *shownAt + std::chrono::seconds(3);
  EXPECT_TRUE(tile.showsFrozenPicture());
  const QImage frozen = render(tile);
  const int dimmed = brightness(frozen.pixelColor(160, 100));
  EXPECT_LE(dimmed, live / 2);
  EXPECT_GT(dimmed, 40) << "still recognisable";
  const auto [darkest, brightest] = cornerBrightness(frozen);
  EXPECT_LT(darkest, dimmed / 2) << "the marker's box is darker than the dimmed picture";
  EXPECT_GT(brightest, 200) << "its clock and digits are light on the box";

  // The marker says when the picture stopped, and still says the same later on.
  const QString marker = tile.frozenMarkerText();
  EXPECT_FALSE(marker.isEmpty());
  now = *shownAt + std::chrono::seconds(17);
  EXPECT_EQ(tile.frozenMarkerText(), marker);
  EXPECT_EQ(render(tile).pixelColor(160, 100), frozen.pixelColor(160, 100));

  // Pictures come again.
  showPicture(*record.display, PictureOverlay{}, 235, 128, 128);
  now = *record.display->lastPictureTime();
  EXPECT_FALSE(tile.showsFrozenPicture());
  const QImage again = render(tile);
  EXPECT_EQ(brightness(again.pixelColor(160, 100)), live);
  EXPECT_EQ(cornerBrightness(again), std::make_pair(live, live));

  // A channel without a camera paints its status, never a frozen picture.
  now = *record.display->lastPictureTime() + std::chrono::seconds(30);
  record.status = kStatusNoSignal;
  EXPECT_FALSE(tile.showsFrozenPicture());
  EXPECT_TRUE(tile.frozenMarkerText().isEmpty());
  record.display->discardPicture();
}

// A channel that lost its camera and connects again keeps its last picture, dimmed from the
// first moment, with no time stamp, "Rec" or motion frame of its own any more: the state
// stands top left and the time the picture came bottom left, at 5 s as at 60 s, through the
// reconnect attempts and after the channel gave up. A picture discarded by the user leaves
// the black status tile.
TEST(ViewerElement, StoppedChannelKeepsItsLastPictureDimmedWithTheTimeItCame) {
  constexpr int kChannel = 12;
  ChannelRecord& record = channelRecord(kChannel);
  if (!record.display) record.display = std::make_shared<ChannelDisplay>(kChannel);
  CViewerElement tile(kChannel, nullptr);
  tile.resize(320, 240);
  auto now = std::chrono::steady_clock::now();
  tile.setClock([&now] { return now; });

  std::tm cameTm{};
  cameTm.tm_year = 126;
  cameTm.tm_mon = 11;
  cameTm.tm_mday = 11;
  cameTm.tm_hour = 10;
  cameTm.tm_min = 41;
  cameTm.tm_sec = 7;
  cameTm.tm_isdst = -1;
  PictureOverlay overlay{true, true, true};
  overlay.decodedAt = std::mktime(&cameTm);
  record.status = kStatusLive;
  showPicture(*record.display, overlay, 235, 128, 128);
  const QImage live = render(tile);
  const int liveLevel = brightness(live.pixelColor(160, 120));
  ASSERT_GT(liveLevel, 220);
  const auto shownAt = *record.display->lastPictureTime();

  record.status = kStatusConnecting;
  tile.setStatusText(QStringLiteral("13 Connecting..."));
  for (const int seconds : {0, 5, 60, 600}) {
    SCOPED_TRACE(seconds);
    now = shownAt + std::chrono::seconds(seconds);
    EXPECT_TRUE(tile.showsFrozenPicture());
    EXPECT_TRUE(tile.frozenMarkerText().contains(QStringLiteral("10:41:07")))
        << tile.frozenMarkerText().toStdString();
    const QImage stopped = render(tile);
    EXPECT_LE(brightness(stopped.pixelColor(160, 120)), liveLevel / 2);
    EXPECT_GT(brightness(stopped.pixelColor(160, 120)), 40) << "still recognisable";
    // The motion frame was red along the edges; the stopped picture has none.
    EXPECT_NE(stopped.pixelColor(1, 120), live.pixelColor(1, 120));
    EXPECT_LT(stopped.pixelColor(1, 120).red(), 150);
    EXPECT_GT(cornerBrightness(stopped).second, 200) << "the marker's text is light";
    // The state in words on its dark box, top left.
    int lightInStateBox = 0;
    for (int y = 8; y < 36; ++y) {
      for (int x = 8; x < 150; ++x) lightInStateBox += brightness(stopped.pixelColor(x, y)) > 200;
    }
    EXPECT_GT(lightInStateBox, 20);
  }

  record.status = kStatusDisconnected;
  EXPECT_TRUE(tile.showsFrozenPicture());
  EXPECT_TRUE(tile.frozenMarkerText().contains(QStringLiteral("10:41:07")));

  record.display->discardPicture();
  EXPECT_FALSE(tile.showsFrozenPicture());
  EXPECT_EQ(render(tile).pixelColor(160, 120), QColor(Qt::black));
  record.status = kStatusNoSignal;
}

class PaintCounter : public QObject {
 public:
  int paints = 0;
  bool eventFilter(QObject* /*watched*/, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++paints;
    return false;
  }
};

// Nothing else repaints a tile whose stream froze, so one timer for all tiles wakes when the
// first live picture turns frozen and repaints that tile alone. A frozen picture does not
// change any more, and a tile without a live picture has nothing that could freeze: with
// neither on show, the timer is not armed.
TEST(ViewerElement, OneTimerRepaintsATileWhenItsLivePictureFreezes) {
  constexpr int kFreezing = 10;
  constexpr int kFresh = 9;
  struct Watched {
    ChannelRecord* record;
    std::unique_ptr<CViewerElement> tile;
    PaintCounter counter;
  };
  std::array<Watched, 2> watched;
  auto now = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < watched.size(); ++i) {
    const int channel = i == 0 ? kFreezing : kFresh;
    ChannelRecord& record = channelRecord(channel);
    if (!record.display) record.display = std::make_shared<ChannelDisplay>(channel);
    record.status = kStatusLive;
    showBluePicture(*record.display, PictureOverlay{});
    watched[i].record = &record;
    watched[i].tile = std::make_unique<CViewerElement>(channel, nullptr);
    watched[i].tile->resize(160, 120);
    watched[i].tile->installEventFilter(&watched[i].counter);
  }
  const auto shownAt = *watched[0].record->display->lastPictureTime();
  // The first tile's picture is about to freeze; the second one's stays fresh.
  watched[0].tile->setClock([&now] { return now; });
  now = shownAt + std::chrono::milliseconds(2900);
  watched[1].tile->setClock([shownAt] { return shownAt; });
  for (Watched& each : watched) each.tile->show();
  ASSERT_TRUE(ipcam::testing::waitFor([&] {
    QApplication::processEvents();
    return watched[0].counter.paints >= 1 && watched[1].counter.paints >= 1;
  }));
  EXPECT_TRUE(CViewerElement::frozenMarkerTimerArmed());
  EXPECT_FALSE(watched[0].tile->showsFrozenPicture());

  const int firstPaints = watched[0].counter.paints;
  const int secondPaints = watched[1].counter.paints;
  now = shownAt + std::chrono::seconds(5);
  ASSERT_TRUE(ipcam::testing::waitFor([&] {
    QApplication::processEvents();
    return watched[0].counter.paints > firstPaints;
  })) << "the frozen tile is repainted";
  EXPECT_TRUE(watched[0].tile->showsFrozenPicture());
  EXPECT_EQ(watched[1].counter.paints, secondPaints) << "the fresh tile is left alone";
  EXPECT_TRUE(CViewerElement::frozenMarkerTimerArmed()) << "the fresh tile is still watched";

  // The fresh channel loses its camera: its tile repaints as a status tile, and no live
  // picture is left on show.
  watched[1].record->status = kStatusNoSignal;
  watched[1].tile->update();
  ASSERT_TRUE(ipcam::testing::waitFor([&] {
    QApplication::processEvents();
    return watched[1].counter.paints > secondPaints;
  }));
  EXPECT_FALSE(CViewerElement::frozenMarkerTimerArmed());

  for (Watched& each : watched) {
    each.tile.reset();
    each.record->status = kStatusNoSignal;
    each.record->display->discardPicture();
  }
}

// A picture decoded at the tile's own size is copied to the screen pixel for pixel: no
// stretch, no lost or doubled row or column.
TEST(ViewerElement, PictureDecodedAtTheTileSizeIsDrawnUnscaled) {
  constexpr int kChannel = 15;
  ChannelRecord& record = channelRecord(kChannel);
  if (!record.display) record.display = std::make_shared<ChannelDisplay>(kChannel);
  record.status = kStatusLive;
  for (const auto& [width, height] : {std::pair{160, 120}, std::pair{640, 480}}) {
    SCOPED_TRACE(width);
    CViewerElement tile(kChannel, nullptr);
    tile.resize(width, height);
    // One-pixel stripes of grey that change every row and column: a stretch by one pixel
    // shows as a stripe drawn twice.
    std::vector<std::uint8_t> luma(static_cast<std::size_t>(width * height));
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        luma[static_cast<std::size_t>(y * width + x)] =
            static_cast<std::uint8_t>((x % 2 == 0 ? 40 : 200) + (y % 3) * 10);
      }
    }
    const std::vector<std::uint8_t> chroma(static_cast<std::size_t>(width * height / 4), 128);
    PicturePlanes planes;
    planes.data = {luma.data(), chroma.data(), chroma.data(), nullptr};
    planes.stride = {width, width / 2, width / 2, 0};
    const TileTarget target{TileTarget::Kind::kShown, width, height};
    ASSERT_TRUE(record.display->convertPicture(
        pictureFormatOf(AV_PIX_FMT_YUVJ420P, AVCOL_RANGE_JPEG), planes, width, height, width,
        height, planConversion(width, height, target)));
    record.display->showConvertedPicture(PictureOverlay{});

    const QImage shown = render(tile);
    int different = 0;
    record.display->withFrontPicture([&](const PictureView& picture) {
      ASSERT_EQ(picture.width, width);
      ASSERT_EQ(picture.height, height);
      const QImage converted(picture.data, picture.width, picture.height, picture.stride,
                             QImage::Format_RGB32);
      for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) different += shown.pixel(x, y) != converted.pixel(x, y);
      }
    });
    EXPECT_EQ(different, 0);
  }
  record.status = kStatusNoSignal;
  record.display->discardPicture();
}

TEST(ViewerElement, StatusTileIsBlackWithTheGridLineOnTheRightAndBottom) {
  constexpr int kChannel = 13;
  channelRecord(kChannel).status = kStatusNoSignal;
  CViewerElement tile(kChannel, nullptr);
  tile.resize(160, 120);
  tile.setStatusText(QStringLiteral("14 No Signal"));
  const QImage image = render(tile);
  EXPECT_EQ(image.pixelColor(159, 60), QColor(Qt::white));
  EXPECT_EQ(image.pixelColor(80, 119), QColor(Qt::white));
  EXPECT_EQ(image.pixelColor(0, 60), QColor(Qt::black));
  EXPECT_EQ(image.pixelColor(80, 0), QColor(Qt::black));
  EXPECT_EQ(image.pixelColor(80, 100), QColor(Qt::black)) << "one line of text at the top";
  bool textShown = false;
  for (int x = 9; x < 150 && !textShown; ++x) {
    for (int y = 9; y < 30 && !textShown; ++y) textShown = image.pixelColor(x, y) != Qt::black;
  }
  EXPECT_TRUE(textShown);
}

// The main window's side of the tiles: selection, and a swap that exchanges the tiles' places.
class FakeTileHost : public TileHost {
 public:
  void selectTile(int channel) override {
    selected = channel;
    for (CViewerElement* tile : tiles) tile->setSelected(tile->channel() == channel);
  }
  int selectedChannel() const override { return selected; }
  void updatePtzButtons(int /*channel*/) override {}
  void showOneTileFullScreen() override { full = true; }
  bool fullScreen() const override { return full; }
  void swapTiles(int channelA, int channelB) override {
    swaps.emplace_back(channelA, channelB);
    CViewerElement* a = tiles[static_cast<std::size_t>(channelA)];
    CViewerElement* b = tiles[static_cast<std::size_t>(channelB)];
    const QRect placeOfA = a->geometry();
    a->setGeometry(b->geometry());
    b->setGeometry(placeOfA);
  }
  void configureCameras() override { ++configureRequests; }

  std::array<CViewerElement*, kChannelCount> tiles{};
  int selected = -1;
  bool full = false;
  std::vector<std::pair<int, int>> swaps;
  int configureRequests = 0;
};

// The 16 tiles of the 4 by 4 layout in a 640 by 480 video area.
class TileGridTest : public ::testing::Test {
 protected:
  void SetUp() override {
    {
      std::lock_guard lock(settingsMutex());
      liveSettings() = ViewerSettings{};
    }
    area_.resize(640, 480);
    for (int channel = 0; channel < kChannelCount; ++channel) {
      auto* tile = new CViewerElement(channel, &area_, &host_);
      tile->setGeometry((channel % 4) * 160, (channel / 4) * 120, 160, 120);
      tile->show();
      host_.tiles[static_cast<std::size_t>(channel)] = tile;
    }
    area_.show();
  }
  void TearDown() override {
    std::lock_guard lock(settingsMutex());
    liveSettings() = ViewerSettings{};
  }

  static void setIp(int channel, const char* ip) {
    std::lock_guard lock(settingsMutex());
    liveSettings().camera[static_cast<std::size_t>(channel)].ip = ip;
  }
  CViewerElement* tile(int channel) const { return host_.tiles[static_cast<std::size_t>(channel)]; }

  // Presses the left button on `from` and lets it go over the centre of `to`.
  void drag(int from, int to) {
    CViewerElement* source = tile(from);
    const QPointF pressAt(10, 10);
    QMouseEvent press(QEvent::MouseButtonPress, pressAt, source->mapToGlobal(pressAt),
                      Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(source, &press);
    // The release goes to the pressed tile, at a position outside it.
    const QPointF releaseAt = QPointF(tile(to)->geometry().center() - source->pos());
    QMouseEvent release(QEvent::MouseButtonRelease, releaseAt, source->mapToGlobal(releaseAt),
                        Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(source, &release);
  }

  QWidget area_;
  FakeTileHost host_;
};

TEST_F(TileGridTest, DraggingATileOntoAnotherSwapsTheirPlacesAndKeepsTheirChannels) {
  setIp(2, "127.0.0.1");
  const QRect placeOf3 = tile(2)->geometry();
  const QRect placeOf7 = tile(6)->geometry();

  drag(2, 6);

  EXPECT_EQ(host_.selected, 2);
  ASSERT_EQ(host_.swaps, (std::vector<std::pair<int, int>>{{2, 6}}));
  EXPECT_EQ(tile(2)->geometry(), placeOf7);
  EXPECT_EQ(tile(6)->geometry(), placeOf3);
  EXPECT_EQ(tile(2)->channel(), 2);
  EXPECT_EQ(tile(6)->channel(), 6);
  EXPECT_EQ(area_.childAt(placeOf7.center()), tile(2));
}

TEST_F(TileGridTest, NoSwapOntoItselfInFullScreenOrWithoutACamera) {
  setIp(2, "127.0.0.1");
  drag(2, 2);
  EXPECT_TRUE(host_.swaps.empty()) << "released over the same tile";

  drag(5, 6);
  EXPECT_TRUE(host_.swaps.empty()) << "the pressed tile's camera has no address";

  host_.full = true;
  drag(2, 6);
  EXPECT_TRUE(host_.swaps.empty()) << "full screen";
}

TEST_F(TileGridTest, ContextMenuCarriesTheCommandsOfTheChannelState) {
  const auto commands = [this](int channel) {
    std::vector<int> ids;
    const std::unique_ptr<QMenu> menu = tile(channel)->createContextMenu();
    for (QAction* action : menu->actions()) {
      ids.push_back(action->isSeparator() ? kCommandSeparator : action->data().toInt());
      EXPECT_TRUE(action->isSeparator() || !action->text().isEmpty());
    }
    return ids;
  };
  channelRecord(12).status = kStatusDisconnected;
  EXPECT_EQ(commands(12), (std::vector<int>{kCommandConfigureCamera}));
  {
    std::lock_guard lock(settingsMutex());
    CameraSettings& camera = liveSettings().camera[12];
    camera.name = "Gate";
    camera.ip = "127.0.0.1";
    camera.login = "admin";
    camera.password = "admin";
  }
  EXPECT_EQ(commands(12),
            (std::vector<int>{kCommandConfigureCamera, kCommandConnect, kCommandReset}));
  channelRecord(12).status = kStatusNoSignal;

  tile(12)->runCommand(kCommandConfigureCamera);
  EXPECT_EQ(host_.configureRequests, 1);
}

}  // namespace
}  // namespace ipcam::ui
