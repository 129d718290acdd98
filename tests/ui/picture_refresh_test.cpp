#include "ui/picture_refresh.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <array>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "support/wait_for.h"

namespace ipcam::ui {
namespace {

// Decoding threads mark their channels all at once while the user-interface thread repaints:
// every picture is in a repaint that comes after it, however the marks and the repaints
// interleave, and no repaint comes without a picture.
TEST(PictureRefresh, EveryPictureFromAnyThreadIsInALaterRepaint) {
  constexpr int kThreads = 4;
  constexpr int kPicturesPerThread = 150;
  std::array<std::atomic<int>, kChannelCount> repaintsOf{};
  PictureRefresh refresh([&](std::uint32_t channels) {
    EXPECT_NE(channels, 0u);
    for (int channel = 0; channel < kChannelCount; ++channel) {
      if ((channels & (std::uint32_t{1} << channel)) != 0) ++repaintsOf[channel];
    }
  });
  refresh.setInterval(std::chrono::milliseconds(2));

  std::atomic<int> finished{0};
  std::atomic<bool> lost{false};
  std::vector<std::thread> decoders;
  for (int thread = 0; thread < kThreads; ++thread) {
    decoders.emplace_back([&, thread] {
      for (int picture = 0; picture < kPicturesPerThread && !lost; ++picture) {
        const int channel = thread * 4 + picture % 4;
        const int before = repaintsOf[channel].load();
        refresh.pictureArrived(channel);
        if (!ipcam::testing::waitFor([&] { return repaintsOf[channel].load() > before; })) {
          lost = true;
        }
      }
      ++finished;
    });
  }
  ipcam::testing::waitFor(
      [&] {
        QApplication::processEvents();
        return finished.load() == kThreads;
      },
      std::chrono::seconds(60));
  for (std::thread& each : decoders) each.join();
  EXPECT_FALSE(lost.load()) << "a picture was never repainted";
}

}  // namespace
}  // namespace ipcam::ui
