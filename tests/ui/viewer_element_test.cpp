#include "ui/viewer_element.h"

#include <gtest/gtest.h>

#include <QImage>
#include <memory>
#include <vector>

#include "app/channel_record.h"
#include "media/channel_display.h"

namespace ipcam::ui {
namespace {

// A solid 320x240 picture in the channel's display, made from full-range YUV planes as the
// Motion JPEG decoder leaves them: Y 29, U 255, V 107 is blue.
void showBluePicture(ChannelDisplay& display, PictureOverlay overlay) {
  constexpr int kWidth = 320;
  constexpr int kHeight = 240;
  static const std::vector<std::uint8_t> luma(kWidth * kHeight, 29);
  static const std::vector<std::uint8_t> blue(kWidth * kHeight / 4, 255);
  static const std::vector<std::uint8_t> red(kWidth * kHeight / 4, 107);
  PicturePlanes planes;
  planes.data = {luma.data(), blue.data(), red.data()};
  planes.stride = {kWidth, kWidth / 2, kWidth / 2};
  ASSERT_TRUE(display.convertPicture(PictureFormat::kYuv420Full, planes, kWidth, kHeight));
  display.showConvertedPicture(overlay);
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
  // While the channel reconnects its last picture is stale: the tile stays black.
  record.status = kStatusConnecting;
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

}  // namespace
}  // namespace ipcam::ui
