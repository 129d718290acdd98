#pragma once

#include <QObject>
#include <QPointer>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "core/viewer_ui.h"
#include "ui/picture_refresh.h"

namespace ipcam::ui {

class CTarsilDlg;

// The ViewerUi of the real program. Calls from worker threads are carried over to the
// user-interface thread; a message box from a worker blocks only that worker.
//
// Create it once and never destroy it: a worker abandoned at shutdown may still call it at
// exit. After beginShutdown() every call returns at once and nothing more reaches the window.
class QtViewerUi final : public QObject, public ViewerUi {
  Q_OBJECT

 public:
  // Shows one message box and returns when the user has closed it (user-interface thread).
  using MessagePresenter = std::function<void(const std::string& text, const std::string& title)>;

  QtViewerUi();

  void setWindow(CTarsilDlg* window);
  // Replaces the real message box (tests record the texts instead).
  void setMessagePresenter(MessagePresenter presenter);

  // No more boxes: workers waiting on one are released, and later calls return at once. Tile
  // updates and log lines still reach the window, which shows the channels stopping.
  void releaseWaiters();
  // Besides releasing the waiters: no more tile updates or log lines either.
  void beginShutdown();
  bool shuttingDown() const { return shuttingDown_.load(); }
  // Workers blocked in messageBox() right now, their box not yet shown and closed.
  std::size_t waitingBoxCount() const;

  void setChannelStatus(int channel, int code, const std::optional<std::string>& text) override;
  void logEvent(int channel, const std::string& text) override;
  void messageBox(const std::string& text, const std::string& title) override;
  void postMessage(const std::string& text, const std::string& title) override;
  void presentPicture(int channel) override;
  int visibleTileCount() const override;
  int singleChannel() const override { return singleChannel_.load(); }
  void setRecordingButtons(bool recordingOn) override;
  void setScanInterval(int seconds) override { scanInterval_.store(seconds); }

  int scanInterval() const { return scanInterval_.load(); }
  void setSingleChannel(int channel) { singleChannel_.store(channel); }
  // How new pictures reach the tiles: together, once per screen refresh at most.
  PictureRefresh& pictureRefresh() { return pictureRefresh_; }

 private:
  struct PendingBox {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;  // guarded by mutex
  };

  bool onUiThread() const;
  // Runs `work` on the user-interface thread: at once when already there, else queued.
  void onUi(std::function<void()> work);
  // The presenter a test put in place of the real boxes; empty for real boxes.
  MessagePresenter presenter() const;
  void showBox(const std::string& text, const std::string& title);
  // A box that does not wait and is not modal; one per text while it is open.
  void showPostedBox(const std::string& text, const std::string& title);

  std::atomic<bool> noMoreBoxes_{false};
  std::atomic<bool> shuttingDown_{false};
  std::atomic<int> singleChannel_{0};
  std::atomic<int> scanInterval_{3};
  QPointer<CTarsilDlg> window_;  // user-interface thread only
  mutable std::mutex presenterMutex_;
  MessagePresenter presenter_;             // guarded by presenterMutex_; empty: real boxes
  std::set<std::string> openPostedTexts_;  // user-interface thread only
  mutable std::mutex pendingMutex_;
  std::list<std::shared_ptr<PendingBox>> pending_;  // guarded by pendingMutex_
  PictureRefresh pictureRefresh_;  // marks from any thread; repaints on the UI thread
};

}  // namespace ipcam::ui
