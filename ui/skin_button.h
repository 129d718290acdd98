#pragma once

#include <QPixmap>
#include <QString>
#include <QWidget>
#include <array>

namespace ipcam::ui {

// A skinned bitmap button of the main window. It has four bitmaps (normal, hover, pressed and
// a fourth that nothing shows) and draws only its bitmap, so the window's skin shows around
// it. The window hears of it through the signals; a missing bitmap leaves its state blank.
class CCustomStaticButton : public QWidget {
  Q_OBJECT

 public:
  enum HoverState { kNormal = 0, kHover = 1, kPressed = 2 };
  enum Slot { kNormalBitmap = 0, kHoverBitmap = 1, kPressedBitmap = 2, kFourthBitmap = 3 };

  // `tooltipKey` is the button's text key in the language section "TarsilDlg"; it is looked
  // up whenever the tooltip shows, so a language switch applies at once.
  CCustomStaticButton(int id, QString tooltipKey, QWidget* parent);

  int id() const { return id_; }
  int hoverState() const { return hoverState_; }
  void setBitmaps(const std::array<QPixmap, 4>& bitmaps);
  // Shows the bitmap of `state`; does nothing when the button is in it already.
  void setHoverState(int state);

 signals:
  // The pointer moved over the button: the window resets every button first.
  void mouseMoved();
  // Left button down: the button's command.
  void clicked(int id);
  // Left button up. Only the pan/tilt buttons act on it.
  void released(int id);

 protected:
  bool event(QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  const int id_;
  const QString tooltipKey_;
  std::array<QPixmap, 4> bitmaps_;
  int hoverState_ = kNormal;
};

}  // namespace ipcam::ui
