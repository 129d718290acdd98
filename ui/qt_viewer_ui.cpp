#include "ui/qt_viewer_ui.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QThread>
#include <ctime>

#include "core/app_state.h"
#include "ui/tarsil_dlg.h"

namespace ipcam::ui {
namespace {

void showQtMessageBox(const std::string& text, const std::string& title) {
  QMessageBox box(QMessageBox::NoIcon, QString::fromStdString(title), QString::fromStdString(text),
                  QMessageBox::Ok);
  box.exec();
}

}  // namespace

QtViewerUi::QtViewerUi()
    : pictureRefresh_([this](std::uint32_t channels) {
        if (shuttingDown_.load() || !window_) return;
        for (int channel = 0; channel < kChannelCount; ++channel) {
          if ((channels & (std::uint32_t{1} << channel)) != 0) window_->repaintTile(channel);
        }
      }) {}

void QtViewerUi::setWindow(CTarsilDlg* window) {
  window_ = window;
}

void QtViewerUi::setMessagePresenter(MessagePresenter presenter) {
  std::lock_guard lock(presenterMutex_);
  presenter_ = std::move(presenter);
}

bool QtViewerUi::onUiThread() const {
  return QCoreApplication::instance() != nullptr &&
         QThread::currentThread() == QCoreApplication::instance()->thread();
}

void QtViewerUi::onUi(std::function<void()> work) {
  if (shuttingDown_.load()) return;
  if (onUiThread()) {
    work();
    return;
  }
  QMetaObject::invokeMethod(
      this,
      [this, work = std::move(work)] {
        if (!shuttingDown_.load()) work();
      },
      Qt::QueuedConnection);
}

void QtViewerUi::beginShutdown() {
  shuttingDown_.store(true);
  releaseWaiters();
}

void QtViewerUi::releaseWaiters() {
  noMoreBoxes_.store(true);
  std::lock_guard lock(pendingMutex_);
  for (const auto& box : pending_) {
    std::lock_guard boxLock(box->mutex);
    box->finished = true;
    box->done.notify_all();
  }
  pending_.clear();
}

std::size_t QtViewerUi::waitingBoxCount() const {
  std::lock_guard lock(pendingMutex_);
  return pending_.size();
}

void QtViewerUi::setChannelStatus(int channel, int code, const std::optional<std::string>& text) {
  onUi([this, channel, code, text] {
    if (window_) window_->showChannelStatus(channel, code, text);
  });
}

void QtViewerUi::logEvent(int channel, const std::string& text) {
  // The time is the caller's, so lines carry the moment they were reported.
  std::string line;
  if (channel >= 0) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char prefix[64];
    std::snprintf(prefix, sizeof prefix, "%02d/%02d %02d:%02d:%02d, Camera %02d, ",
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  channel + 1);
    line = prefix;
  }
  line += text;
  onUi([this, line = std::move(line)] {
    if (window_) window_->insertEventLogLine(line);
  });
}

QtViewerUi::MessagePresenter QtViewerUi::presenter() const {
  std::lock_guard lock(presenterMutex_);
  return presenter_;
}

void QtViewerUi::showBox(const std::string& text, const std::string& title) {
  if (const MessagePresenter replaced = presenter()) {
    replaced(text, title);
  } else {
    showQtMessageBox(text, title);
  }
}

void QtViewerUi::showPostedBox(const std::string& text, const std::string& title) {
  if (const MessagePresenter replaced = presenter()) {
    replaced(text, title);
    return;
  }
  // A camera that keeps failing posts the same text again and again: one box says it.
  if (!openPostedTexts_.insert(text).second) return;
  auto* box = new QMessageBox(QMessageBox::NoIcon, QString::fromStdString(title),
                              QString::fromStdString(text), QMessageBox::Ok,
                              window_ ? static_cast<QWidget*>(window_.data()) : nullptr);
  box->setWindowModality(Qt::NonModal);
  box->setAttribute(Qt::WA_DeleteOnClose);
  // Closed by the user, or gone with the window: the text may be said again.
  const auto forget = [this, text] { openPostedTexts_.erase(text); };
  connect(box, &QDialog::finished, this, forget);
  connect(box, &QObject::destroyed, this, forget);
  box->show();
}

void QtViewerUi::postMessage(const std::string& text, const std::string& title) {
  if (noMoreBoxes_.load()) return;
  onUi([this, text, title] {
    if (!noMoreBoxes_.load()) showPostedBox(text, title);
  });
}

void QtViewerUi::messageBox(const std::string& text, const std::string& title) {
  if (noMoreBoxes_.load()) return;
  if (onUiThread()) {
    showBox(text, title);
    return;
  }
  auto box = std::make_shared<PendingBox>();
  {
    std::lock_guard lock(pendingMutex_);
    if (noMoreBoxes_.load()) return;
    pending_.push_back(box);
  }
  QMetaObject::invokeMethod(
      this,
      [this, box, text, title] {
        if (!noMoreBoxes_.load()) showBox(text, title);
        std::lock_guard lock(pendingMutex_);
        pending_.remove(box);
        std::lock_guard boxLock(box->mutex);
        box->finished = true;
        box->done.notify_all();
      },
      Qt::QueuedConnection);
  std::unique_lock lock(box->mutex);
  box->done.wait(lock, [&box] { return box->finished; });
}

void QtViewerUi::presentPicture(int channel) {
  if (shuttingDown_.load()) return;
  pictureRefresh_.pictureArrived(channel);
}

int QtViewerUi::visibleTileCount() const {
  return appState().visibleTileCount.load();
}

void QtViewerUi::setRecordingButtons(bool recordingOn) {
  onUi([this, recordingOn] {
    if (window_) window_->setRecordingOn(recordingOn);
  });
}

}  // namespace ipcam::ui
