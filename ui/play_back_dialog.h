#pragma once

#include <QDialog>
#include <functional>
#include <string>
#include <vector>

#include "app/ui_services.h"

class QDateEdit;
class QPushButton;
class QTimeEdit;
class QTreeWidget;

namespace ipcam {
class ViewerUi;
}

namespace ipcam::ui {

// The playback search: recordings of every camera in every recording directory, found by
// the time they began or as motion recordings, listed, and opened with the desktop's
// application for video files. The program plays nothing itself.
class CPlayBackDialog : public QDialog {
  Q_OBJECT

 public:
  // Opens a recording (a full path) with the desktop's default application.
  using FileOpener = std::function<void(const std::string& path)>;

  // `opener` empty: the desktop's default application (xdg-open).
  explicit CPlayBackDialog(ViewerUi& ui, QWidget* parent = nullptr, FileOpener opener = {});

  // The two Search buttons: a time search lists recordings of every mode, a motion search
  // only the motion recordings. A From later than To is refused with a message and leaves
  // the list as it was.
  void searchRecordings(bool motionOnly);
  // Play and a double click in the list: the first selected row, nothing without one.
  void playSelected();
  // A click on a column's header.
  void sortByColumn(int column);

  // The controls, for the tests.
  struct SearchControls {
    QDateEdit* fromDate = nullptr;
    QTimeEdit* fromTime = nullptr;
    QDateEdit* toDate = nullptr;
    QTimeEdit* toTime = nullptr;
    QPushButton* search = nullptr;
  };
  const SearchControls& timeSearch() const { return time_; }
  const SearchControls& motionSearch() const { return motion_; }
  QTreeWidget* resultList() const { return list_; }
  QPushButton* playButton() const { return play_; }
  QPushButton* okButton() const { return ok_; }

 private:
  SearchControls makeSearchGroup(QWidget* group, bool motionOnly);
  void showRows();

  ViewerUi& ui_;
  FileOpener opener_;
  SearchControls time_;
  SearchControls motion_;
  QTreeWidget* list_ = nullptr;
  QPushButton* play_ = nullptr;
  QPushButton* ok_ = nullptr;
  std::vector<PlaybackRow> rows_;
  PlaybackSort sort_;
};

}  // namespace ipcam::ui
