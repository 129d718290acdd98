// Draws the viewer's skin: the window background image/bg.bmp and the three looks of every
// skinned button (MOVE_nn normal, OFF_nn hover, ON_nn pressed); and the six snapshot
// templates Snapshot_<w>_<h>.jpg, plain black canvases whose only use is their size.
//
//   skin_art <output folder> [--preview <folder>]
//   skin_art --icon <file.png> <size>
//
// The art is drawn here rather than kept as hand-edited pictures so that a change of colour or
// of a control's place is one edit and one run. Every button bitmap is cut out of the finished
// background and the key is painted over that cut-out: the window draws the buttons as opaque
// rectangles, so this is what keeps their edges invisible on a gradient or a rounded panel.
//
// With --preview the program reads the written files back and composes PNG pictures of the
// whole window (normal, hover and pressed looks) and a contact sheet of every bitmap, for
// looking at the art without starting the viewer.

#include <QColor>
#include <QDir>
#include <QFont>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QRegion>
#include <QString>
#include <QTransform>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <vector>

namespace ipcam {
namespace {

// The window takes its size from the background, and the layout code places the video area
// and every control in these coordinates.
constexpr int kWindowWidth = 1000;
constexpr int kWindowHeight = 720;
const QRect kVideoArea(60, 60, 640, 480);

// Palette: a cool slate console with one cyan accent and red kept for recording and power.
const QColor kBackgroundTop(0x25, 0x2b, 0x34);
const QColor kBackgroundBottom(0x12, 0x15, 0x1a);
const QColor kPanelTop(0x26, 0x2d, 0x37);
const QColor kPanelBottom(0x1d, 0x22, 0x2a);
const QColor kPanelBorder(0x3b, 0x45, 0x53);
const QColor kWellFill(0x16, 0x1a, 0x20);
const QColor kWellBorder(0x2e, 0x36, 0x41);
const QColor kCaption(0x7f, 0x8c, 0x9c);
const QColor kTitleText(0xe3, 0xe9, 0xf0);
const QColor kAccent(0x5c, 0xc8, 0xff);
const QColor kAccentDeep(0x3d, 0xa6, 0xe0);
const QColor kInk(0xc6, 0xd0, 0xdc);
const QColor kRecordRed(0xe5, 0x48, 0x4d);
const QColor kRecordRedHot(0xff, 0x62, 0x66);
const QColor kRecordRedDeep(0xc0, 0x34, 0x3a);

enum class Look { normal, hover, pressed };

enum class Glyph {
  layout1,
  layout4,
  layout6,
  layout8,
  layout9,
  layout10,
  layout13,
  layout16,
  fullScreen,
  scan,
  zoomOut,
  zoomIn,
  upLeft,
  up,
  upRight,
  left,
  home,
  right,
  downLeft,
  down,
  downRight,
  setup,
  playback,
  snapshot,
  recordStart,
  recordStop,
  recordHover,
  minimize,
  power,
};

enum class KeyShape { rounded, round };

struct ButtonArt {
  int nn;
  QRect place;  // the whole bitmap, window coordinates
  QRectF face;  // the key drawn inside it, window coordinates
  Glyph glyph;
  KeyShape shape;
  bool shownAtStart;
};

QRectF inset(const QRect& r, double d) {
  return QRectF(r).adjusted(d, d, -d, -d);
}

// Button places are the window's; the faces of the layout keys sit on an even 56-pixel grid
// inside them, because the places themselves are spaced unevenly and even overlap by two pixels.
std::vector<ButtonArt> buttonTable() {
  auto grid = [](int column, int row) {
    return QRectF(column == 0 ? 792 : 859, 210 + row * 56, 60, 48);
  };
  std::vector<ButtonArt> t;
  t.push_back({6, QRect(790, 207, 64, 54), grid(0, 0), Glyph::layout1, KeyShape::rounded, true});
  t.push_back({7, QRect(857, 207, 64, 54), grid(1, 0), Glyph::layout4, KeyShape::rounded, true});
  t.push_back({9, QRect(790, 262, 64, 55), grid(0, 1), Glyph::layout6, KeyShape::rounded, true});
  t.push_back({10, QRect(857, 262, 65, 55), grid(1, 1), Glyph::layout8, KeyShape::rounded, true});
  t.push_back({11, QRect(790, 319, 64, 58), grid(0, 2), Glyph::layout9, KeyShape::rounded, true});
  t.push_back({12, QRect(857, 319, 65, 58), grid(1, 2), Glyph::layout10, KeyShape::rounded, true});
  t.push_back({13, QRect(790, 375, 64, 56), grid(0, 3), Glyph::layout13, KeyShape::rounded, true});
  t.push_back({14, QRect(857, 375, 65, 56), grid(1, 3), Glyph::layout16, KeyShape::rounded, true});
  t.push_back({16, QRect(790, 444, 64, 55), QRectF(792, 447, 60, 48), Glyph::fullScreen,
               KeyShape::rounded, true});
  t.push_back({17, QRect(857, 444, 65, 55), QRectF(859, 447, 60, 48), Glyph::scan,
               KeyShape::rounded, true});
  t.push_back({22, QRect(894, 517, 36, 37), inset(QRect(894, 517, 36, 37), 3), Glyph::zoomIn,
               KeyShape::rounded, false});
  t.push_back({20, QRect(775, 517, 36, 37), inset(QRect(775, 517, 36, 37), 3), Glyph::zoomOut,
               KeyShape::rounded, false});
  // The pan/tilt pad: nine keys of one size on a 39-pixel pitch, centred in their places.
  auto pad = [](int column, int row) {
    return QRectF(799.5 + column * 39, 557.5 + row * 39, 33, 33);
  };
  t.push_back({26, QRect(796, 554, 37, 38), pad(0, 0), Glyph::upLeft, KeyShape::rounded, true});
  t.push_back({27, QRect(832, 554, 41, 38), pad(1, 0), Glyph::up, KeyShape::rounded, true});
  t.push_back({28, QRect(874, 554, 39, 38), pad(2, 0), Glyph::upRight, KeyShape::rounded, true});
  t.push_back({30, QRect(796, 592, 37, 41), pad(0, 1), Glyph::left, KeyShape::rounded, true});
  t.push_back({31, QRect(833, 592, 41, 41), pad(1, 1), Glyph::home, KeyShape::round, true});
  t.push_back({32, QRect(874, 592, 39, 41), pad(2, 1), Glyph::right, KeyShape::rounded, true});
  t.push_back({41, QRect(796, 633, 37, 38), pad(0, 2), Glyph::downLeft, KeyShape::rounded, true});
  t.push_back({42, QRect(833, 633, 41, 38), pad(1, 2), Glyph::down, KeyShape::rounded, true});
  t.push_back({43, QRect(874, 633, 39, 38), pad(2, 2), Glyph::downRight, KeyShape::rounded, true});
  t.push_back({39, QRect(618, 625, 84, 31), QRectF(620, 627, 80, 27), Glyph::setup,
               KeyShape::rounded, true});
  t.push_back({49, QRect(515, 670, 84, 32), QRectF(517, 672, 80, 27), Glyph::playback,
               KeyShape::rounded, true});
  t.push_back({50, QRect(618, 670, 84, 32), QRectF(620, 672, 80, 27), Glyph::snapshot,
               KeyShape::rounded, true});
  t.push_back({37, QRect(515, 625, 84, 31), QRectF(517, 627, 80, 27), Glyph::recordStart,
               KeyShape::rounded, true});
  t.push_back({45, QRect(183, 644, 38, 36), inset(QRect(183, 644, 38, 36), 3), Glyph::minimize,
               KeyShape::rounded, true});
  t.push_back(
      {34, QRect(85, 622, 73, 75), QRectF(89, 626, 65, 65), Glyph::power, KeyShape::round, true});
  return t;
}

QFont uiFont(double pixelSize, int weight = QFont::Normal) {
  QFont f(QStringLiteral("DejaVu Sans"));
  f.setPixelSize(static_cast<int>(std::lround(pixelSize)));
  f.setWeight(static_cast<QFont::Weight>(weight));
  f.setHintingPreference(QFont::PreferNoHinting);
  return f;
}

QPainterPath roundedRect(const QRectF& r, double radius) {
  QPainterPath path;
  path.addRoundedRect(r, radius, radius);
  return path;
}

// ---- background --------------------------------------------------------------------------

void drawPanel(QPainter& p, const QRectF& r, double radius) {
  // A soft shadow below the panel lifts it off the window.
  for (int i = 3; i >= 1; --i) {
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 28));
    p.drawPath(roundedRect(r.adjusted(-i, -i + 2, i, i + 2), radius + i));
  }
  QLinearGradient fill(r.topLeft(), r.bottomLeft());
  fill.setColorAt(0, kPanelTop);
  fill.setColorAt(1, kPanelBottom);
  p.setBrush(fill);
  p.setPen(QPen(kPanelBorder, 1));
  p.drawPath(roundedRect(r, radius));
  // A faint highlight on the top edge, like light falling on a bevel.
  p.setPen(QPen(QColor(255, 255, 255, 22), 1));
  p.setBrush(Qt::NoBrush);
  p.drawLine(QPointF(r.left() + radius, r.top() + 1.5), QPointF(r.right() - radius, r.top() + 1.5));
}

// A recessed area: darker, shadowed at the top and lit at the bottom edge.
void drawWell(QPainter& p, const QRectF& r, double radius, const QColor& fillColour = kWellFill) {
  p.setPen(Qt::NoPen);
  p.setBrush(fillColour);
  p.drawPath(roundedRect(r, radius));
  QLinearGradient shade(r.topLeft(), r.topLeft() + QPointF(0, 6));
  shade.setColorAt(0, QColor(0, 0, 0, 90));
  shade.setColorAt(1, QColor(0, 0, 0, 0));
  p.setBrush(shade);
  p.drawPath(roundedRect(r, radius));
  QLinearGradient rim(r.topLeft(), r.bottomLeft());
  rim.setColorAt(0, QColor(0, 0, 0, 160));
  rim.setColorAt(1, QColor(255, 255, 255, 30));
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(QBrush(rim), 1));
  p.drawPath(roundedRect(r.adjusted(0.5, 0.5, -0.5, -0.5), radius));
  p.setPen(QPen(kWellBorder, 1));
  p.drawPath(roundedRect(r.adjusted(1.5, 1.5, -1.5, -1.5), std::max(0.0, radius - 1)));
}

void drawCaption(QPainter& p, const QPointF& at, const QString& text, bool vertical = false) {
  QFont f = uiFont(9, QFont::Bold);
  f.setLetterSpacing(QFont::AbsoluteSpacing, 1.2);
  p.setFont(f);
  p.setPen(kCaption);
  if (!vertical) {
    p.drawText(at, text);
    return;
  }
  // Vertical captions read upwards and are centred on `at`.
  const double width = QFontMetricsF(f).horizontalAdvance(text);
  p.save();
  p.translate(at);
  p.rotate(-90);
  p.drawText(QPointF(-width / 2, 3.5), text);
  p.restore();
}

// A camera lens: the product's mark in the title panel and beside the window title.
void drawLensMark(QPainter& p, const QPointF& c, double r) {
  p.setPen(Qt::NoPen);
  QRadialGradient body(c + QPointF(-r * 0.3, -r * 0.3), r * 1.3);
  body.setColorAt(0, QColor(0x4a, 0x55, 0x65));
  body.setColorAt(1, QColor(0x1c, 0x21, 0x28));
  p.setBrush(body);
  p.drawEllipse(c, r, r);
  p.setBrush(QColor(0x0a, 0x0c, 0x10));
  p.drawEllipse(c, r * 0.72, r * 0.72);
  QRadialGradient iris(c, r * 0.55);
  iris.setColorAt(0, QColor(0x9e, 0xe6, 0xff));
  iris.setColorAt(0.35, kAccent);
  iris.setColorAt(1, QColor(0x0e, 0x3a, 0x55));
  p.setBrush(iris);
  p.drawEllipse(c, r * 0.5, r * 0.5);
  p.setBrush(QColor(0x05, 0x10, 0x18));
  p.drawEllipse(c, r * 0.2, r * 0.2);
  p.setBrush(QColor(255, 255, 255, 200));
  p.drawEllipse(c + QPointF(-r * 0.22, -r * 0.24), r * 0.11, r * 0.11);
}

QImage drawBackground() {
  QImage img(kWindowWidth, kWindowHeight, QImage::Format_RGB32);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);

  QLinearGradient base(0, 0, 0, kWindowHeight);
  base.setColorAt(0, kBackgroundTop);
  base.setColorAt(1, kBackgroundBottom);
  p.fillRect(img.rect(), base);
  // A little light from the upper left keeps the large flat areas from looking dead.
  QRadialGradient glow(QPointF(260, 0), 700);
  glow.setColorAt(0, QColor(0x5c, 0xc8, 0xff, 18));
  glow.setColorAt(1, QColor(0x5c, 0xc8, 0xff, 0));
  p.fillRect(img.rect(), glow);
  // The window's rounded outline, drawn just inside the shape the window cuts out.
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(QColor(0x45, 0x50, 0x5f), 1));
  p.drawRoundedRect(QRectF(0.5, 0.5, kWindowWidth - 1, kWindowHeight - 1), 7.5, 7.5);

  // Window title.
  drawLensMark(p, QPointF(38, 33), 10);
  p.setFont(uiFont(18, QFont::Bold));
  p.setPen(kTitleText);
  p.drawText(QPointF(60, 40), QStringLiteral("IP Camera Surveillance Software"));

  // Video area: a black screen in a bezel with a thin frame just outside the tiles.
  const QRectF bezel = QRectF(kVideoArea).adjusted(-8, -8, 8, 8);
  drawWell(p, bezel, 6, QColor(0x0b, 0x0d, 0x11));
  p.setPen(Qt::NoPen);
  p.setBrush(Qt::black);
  p.drawRect(kVideoArea);
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(QColor(0x50, 0x5c, 0x6c), 1));
  p.drawRect(QRectF(kVideoArea).adjusted(-0.5, -0.5, 0.5, 0.5));

  // Right column: title, language and the view and pan/tilt keys.
  drawPanel(p, QRectF(730.5, 44.5, 261, 667), 10);
  drawWell(p, QRectF(742, 55, 223, 62), 6, QColor(0x0b, 0x0e, 0x12));
  drawLensMark(p, QPointF(775, 86), 19);
  p.setFont(uiFont(19, QFont::Bold));
  p.setPen(kTitleText);
  p.drawText(QPointF(804, 82), QStringLiteral("IP Camera"));
  p.setFont(uiFont(15, QFont::DemiBold));
  p.setPen(kAccent);
  p.drawText(QPointF(804, 102), QStringLiteral("Surveillance"));

  p.setFont(uiFont(11));
  p.setPen(kCaption);
  p.drawText(QPointF(748, 179), QStringLiteral("Language"));

  drawWell(p, QRectF(783, 201, 146, 233), 8);
  drawCaption(p, QPointF(764, 317), QStringLiteral("LAYOUT"), true);
  drawWell(p, QRectF(783, 440, 146, 62), 8);
  drawCaption(p, QPointF(764, 471), QStringLiteral("VIEW"), true);
  drawWell(p, QRectF(783, 545, 146, 138), 8);
  drawCaption(p, QPointF(764, 612), QStringLiteral("PAN / TILT"), true);

  // Bottom strip: power and minimize, the event log, and the operation keys.
  drawPanel(p, QRectF(40.5, 584.5, 680, 127), 10);
  drawCaption(p, QPointF(56, 606), QStringLiteral("SYSTEM"));
  drawCaption(p, QPointF(238, 606), QStringLiteral("EVENT LOG"));
  drawCaption(p, QPointF(515, 606), QStringLiteral("CONTROL"));
  // The power key sits in a round socket.
  {
    const QPointF c(121.5, 658.5);
    p.setPen(Qt::NoPen);
    QLinearGradient socket(c - QPointF(0, 37), c + QPointF(0, 37));
    socket.setColorAt(0, QColor(0, 0, 0, 150));
    socket.setColorAt(1, QColor(255, 255, 255, 28));
    p.setBrush(socket);
    p.drawEllipse(c, 36.5, 36.5);
    p.setBrush(kWellFill);
    p.drawEllipse(c, 35.5, 35.5);
  }
  drawWell(p, QRectF(233, 609, 268, 98), 5);
  drawWell(p, QRectF(510, 619, 197, 88), 7);

  // The version label sits on the plain panel at (910, 120).
  return img;
}

// ---- keys ---------------------------------------------------------------------------------

QPainterPath keyPath(const QRectF& face, KeyShape shape) {
  QPainterPath path;
  if (shape == KeyShape::round) {
    path.addEllipse(face);
  } else {
    const double radius = std::min(face.width(), face.height()) < 40 ? 6 : 7;
    path.addRoundedRect(face, radius, radius);
  }
  return path;
}

void drawKey(QPainter& p, const QRectF& face, KeyShape shape, Look look) {
  const QPainterPath body = keyPath(face, shape);
  p.setPen(Qt::NoPen);
  if (look != Look::pressed) {
    // Cast shadow, a little below the key.
    p.setBrush(QColor(0, 0, 0, 70));
    p.drawPath(body.translated(0, 1.5));
  }
  QLinearGradient fill(face.topLeft(), face.bottomLeft());
  switch (look) {
    case Look::normal:
      fill.setColorAt(0, QColor(0x3b, 0x44, 0x52));
      fill.setColorAt(1, QColor(0x29, 0x2f, 0x39));
      break;
    case Look::hover:
      fill.setColorAt(0, QColor(0x48, 0x55, 0x67));
      fill.setColorAt(1, QColor(0x32, 0x3b, 0x48));
      break;
    case Look::pressed:
      fill.setColorAt(0, QColor(0x17, 0x1b, 0x21));
      fill.setColorAt(1, QColor(0x22, 0x28, 0x31));
      break;
  }
  p.setBrush(fill);
  p.drawPath(body);

  if (look == Look::pressed) {
    // Pushed in: the upper edge falls into shadow.
    QLinearGradient shade(face.topLeft(), face.topLeft() + QPointF(0, 7));
    shade.setColorAt(0, QColor(0, 0, 0, 130));
    shade.setColorAt(1, QColor(0, 0, 0, 0));
    p.setBrush(shade);
    p.drawPath(body);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(0x5c, 0xc8, 0xff, 110), 1));
    p.drawPath(keyPath(face.adjusted(0.5, 0.5, -0.5, -0.5), shape));
    return;
  }
  // Raised: a lit top edge and a rim, which turns to the accent when the mouse is over it.
  p.setBrush(Qt::NoBrush);
  QLinearGradient bevel(face.topLeft(), face.bottomLeft());
  bevel.setColorAt(0, QColor(255, 255, 255, look == Look::hover ? 70 : 45));
  bevel.setColorAt(0.5, QColor(255, 255, 255, 0));
  p.setPen(QPen(QBrush(bevel), 1));
  p.drawPath(keyPath(face.adjusted(1.5, 1.5, -1.5, -1.5), shape));
  p.setPen(QPen(look == Look::hover ? QColor(0x5c, 0xc8, 0xff, 170) : QColor(0x10, 0x13, 0x18), 1));
  p.drawPath(keyPath(face.adjusted(0.5, 0.5, -0.5, -0.5), shape));
}

QColor inkFor(Look look) {
  switch (look) {
    case Look::hover:
      return kAccent;
    case Look::pressed:
      return kAccentDeep;
    case Look::normal:
      break;
  }
  return kInk;
}

// Cells of each split on its k-by-k grid: column, row, width and height in cells.
struct Cell {
  int column, row, width, height;
};

std::pair<int, std::vector<Cell>> layoutCells(Glyph g) {
  std::vector<Cell> cells;
  auto fill = [&](int k, int fromRow) {
    for (int row = fromRow; row < k; ++row)
      for (int column = 0; column < k; ++column) cells.push_back({column, row, 1, 1});
  };
  switch (g) {
    case Glyph::layout1:
      return {1, {{0, 0, 1, 1}}};
    case Glyph::layout4:
      fill(2, 0);
      return {2, cells};
    case Glyph::layout6:
      return {3,
              {{0, 0, 2, 2}, {2, 0, 1, 1}, {2, 1, 1, 1}, {0, 2, 1, 1}, {1, 2, 1, 1}, {2, 2, 1, 1}}};
    case Glyph::layout8:
      return {4,
              {{0, 0, 3, 3},
               {3, 0, 1, 1},
               {3, 1, 1, 1},
               {3, 2, 1, 1},
               {0, 3, 1, 1},
               {1, 3, 1, 1},
               {2, 3, 1, 1},
               {3, 3, 1, 1}}};
    case Glyph::layout9:
      fill(3, 0);
      return {3, cells};
    case Glyph::layout10:
      cells = {{0, 0, 2, 2}, {2, 0, 2, 2}};
      fill(4, 2);
      return {4, cells};
    case Glyph::layout13:
      cells = {{0, 0, 2, 2}, {2, 0, 1, 1}, {3, 0, 1, 1}, {2, 1, 1, 1}, {3, 1, 1, 1}};
      fill(4, 2);
      return {4, cells};
    default:
      fill(4, 0);
      return {4, cells};
  }
}

void drawLayoutGlyph(QPainter& p, Glyph g, const QPointF& c, const QColor& ink) {
  const QRectF screen(c.x() - 20, c.y() - 15, 40, 30);
  const auto [k, cells] = layoutCells(g);
  const double gap = 2.0;
  const double cw = (screen.width() + gap) / k;
  const double ch = (screen.height() + gap) / k;
  p.setPen(Qt::NoPen);
  for (const Cell& cell : cells) {
    const QRectF r(screen.left() + cell.column * cw, screen.top() + cell.row * ch,
                   cell.width * cw - gap, cell.height * ch - gap);
    // The large tiles of a split carry the main cameras: draw them a shade brighter.
    QColor shade = ink;
    if (cell.width == 1 && k > 1 && g != Glyph::layout4 && g != Glyph::layout9 &&
        g != Glyph::layout16)
      shade.setAlphaF(0.62f);
    p.setBrush(shade);
    p.drawRoundedRect(r, 1.3, 1.3);
  }
}

QPen strokePen(const QColor& ink, double width) {
  return QPen(ink, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

// A stroked arc with a filled arrow head at its end; angles in degrees, counter-clockwise.
void drawArcArrow(QPainter& p, const QPointF& c, double r, double startDeg, double sweepDeg,
                  const QColor& ink, double width) {
  const QRectF box(c.x() - r, c.y() - r, 2 * r, 2 * r);
  QPainterPath arc;
  arc.arcMoveTo(box, startDeg);
  arc.arcTo(box, startDeg, sweepDeg);
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(ink, width, Qt::SolidLine, Qt::FlatCap));
  p.drawPath(arc);
  const double end = (startDeg + sweepDeg) * std::numbers::pi / 180;
  const QPointF tip(c.x() + r * std::cos(end), c.y() - r * std::sin(end));
  const double dir = sweepDeg > 0 ? 1 : -1;
  const QPointF tangent(-std::sin(end) * dir, -std::cos(end) * dir);
  const QPointF normal(-tangent.y(), tangent.x());
  const double len = width * 2.2;
  QPainterPath head;
  head.moveTo(tip + tangent * len * 0.9);
  head.lineTo(tip + normal * len * 0.85);
  head.lineTo(tip - normal * len * 0.85);
  head.closeSubpath();
  p.setPen(Qt::NoPen);
  p.setBrush(ink);
  p.drawPath(head);
}

// A solid arrow pointing at `angleDeg` (0 = right, 90 = up). A plain triangle would read the
// same turned by 120 degrees, which makes the diagonal keys ambiguous; the stem settles it.
void drawArrow(QPainter& p, const QPointF& c, double angleDeg, double size, const QColor& ink) {
  QPainterPath arrow;
  arrow.moveTo(size * 0.56, 0);
  arrow.lineTo(-size * 0.04, -size * 0.5);
  arrow.lineTo(-size * 0.04, -size * 0.17);
  arrow.lineTo(-size * 0.52, -size * 0.17);
  arrow.lineTo(-size * 0.52, size * 0.17);
  arrow.lineTo(-size * 0.04, size * 0.17);
  arrow.lineTo(-size * 0.04, size * 0.5);
  arrow.closeSubpath();
  QTransform t;
  t.translate(c.x(), c.y());
  t.rotate(-angleDeg);
  p.setPen(QPen(ink, 1.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.setBrush(ink);
  p.drawPath(t.map(arrow));
}

void drawHome(QPainter& p, const QPointF& c, const QColor& ink) {
  QPainterPath house;
  house.moveTo(c + QPointF(0, -9));
  house.lineTo(c + QPointF(9, -1));
  house.lineTo(c + QPointF(6.5, -1));
  house.lineTo(c + QPointF(6.5, 8));
  house.lineTo(c + QPointF(-6.5, 8));
  house.lineTo(c + QPointF(-6.5, -1));
  house.lineTo(c + QPointF(-9, -1));
  house.closeSubpath();
  QPainterPath door;
  door.addRoundedRect(QRectF(c + QPointF(-2.2, 2.2), QSizeF(4.4, 5.8)), 1, 1);
  p.setPen(QPen(ink, 1.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.setBrush(ink);
  p.drawPath(house.subtracted(door));
}

void drawGear(QPainter& p, const QPointF& c, double r, const QColor& ink) {
  constexpr int kTeeth = 8;
  QPainterPath gear;
  for (int i = 0; i < kTeeth * 4; ++i) {
    // Each tooth: two points on the outer radius, two on the root.
    const double a = (i / 4 + (i % 4) * 0.25 - 0.125) * 2 * std::numbers::pi / kTeeth;
    const double radius = (i % 4 == 1 || i % 4 == 2) ? r : r * 0.74;
    const QPointF pt(c.x() + radius * std::cos(a), c.y() + radius * std::sin(a));
    if (i == 0)
      gear.moveTo(pt);
    else
      gear.lineTo(pt);
  }
  gear.closeSubpath();
  QPainterPath hole;
  hole.addEllipse(c, r * 0.32, r * 0.32);
  p.setPen(QPen(ink, 0.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.setBrush(ink);
  p.drawPath(gear.subtracted(hole));
}

void drawCamera(QPainter& p, const QPointF& c, const QColor& ink) {
  QPainterPath body;
  body.addRoundedRect(QRectF(c + QPointF(-9, -5), QSizeF(18, 12.5)), 2.5, 2.5);
  body.addRoundedRect(QRectF(c + QPointF(-4, -8), QSizeF(8, 4.5)), 1.5, 1.5);
  body = body.simplified();
  QPainterPath lens;
  lens.addEllipse(c + QPointF(0, 1.3), 4.2, 4.2);
  p.setPen(Qt::NoPen);
  p.setBrush(ink);
  p.drawPath(body.subtracted(lens));
  p.drawEllipse(c + QPointF(0, 1.3), 2.2, 2.2);
}

void drawRecordDot(QPainter& p, const QPointF& c, double r, const QColor& red) {
  p.setPen(Qt::NoPen);
  QRadialGradient dot(c + QPointF(-r * 0.35, -r * 0.4), r * 1.4);
  dot.setColorAt(0, red.lighter(140));
  dot.setColorAt(0.6, red);
  dot.setColorAt(1, red.darker(130));
  p.setBrush(dot);
  p.drawEllipse(c, r, r);
}

void drawStopSquare(QPainter& p, const QPointF& c, double half, const QColor& red) {
  const QRectF r(c.x() - half, c.y() - half, 2 * half, 2 * half);
  QLinearGradient fill(r.topLeft(), r.bottomRight());
  fill.setColorAt(0, red.lighter(130));
  fill.setColorAt(1, red.darker(120));
  p.setPen(Qt::NoPen);
  p.setBrush(fill);
  p.drawRoundedRect(r, 2, 2);
}

void drawPower(QPainter& p, const QPointF& c, double r, const QColor& red, double width) {
  const QRectF box(c.x() - r, c.y() - r, 2 * r, 2 * r);
  QPainterPath ring;
  ring.arcMoveTo(box, 90 + 38);
  ring.arcTo(box, 90 + 38, 360 - 76);
  p.setBrush(Qt::NoBrush);
  p.setPen(strokePen(red, width));
  p.drawPath(ring);
  p.drawLine(c + QPointF(0, -r - 2), c + QPointF(0, -r * 0.12));
}

// The word on a wide key, right of its icon. Words that would crowd the icon are narrowed
// rather than shrunk, so all labels keep one height.
void drawLabel(QPainter& p, const QRectF& face, const QString& text, const QColor& ink) {
  const QFont f = uiFont(11.5, QFont::Bold);
  const QRectF area = face.adjusted(27, 0, -5, 0);
  const double width = QFontMetricsF(f).horizontalAdvance(text);
  const double squeeze = std::min(1.0, area.width() / width);
  p.save();
  p.setFont(f);
  p.setPen(ink);
  p.translate(area.center());
  p.scale(squeeze, 1);
  p.drawText(QRectF(-width / 2 - 1, -area.height() / 2, width + 2, area.height()), Qt::AlignCenter,
             text);
  p.restore();
}

void drawGlyph(QPainter& p, const ButtonArt& b, Look look, Glyph glyph) {
  QPointF c = b.face.center();
  if (look == Look::pressed) c += QPointF(0, 1);  // the icon sinks with the key
  const QColor ink = inkFor(look);
  const QColor labelInk = look == Look::normal  ? QColor(0xdb, 0xe3, 0xec)
                          : look == Look::hover ? QColor(0xff, 0xff, 0xff)
                                                : kAccent;
  const QPointF iconAt(b.face.left() + 14.5, c.y());
  switch (glyph) {
    case Glyph::layout1:
    case Glyph::layout4:
    case Glyph::layout6:
    case Glyph::layout8:
    case Glyph::layout9:
    case Glyph::layout10:
    case Glyph::layout13:
    case Glyph::layout16:
      drawLayoutGlyph(p, glyph, c, ink);
      break;
    case Glyph::fullScreen: {
      p.setBrush(Qt::NoBrush);
      p.setPen(QPen(QColor(ink.red(), ink.green(), ink.blue(), 70), 1.2));
      p.drawRoundedRect(QRectF(c.x() - 7, c.y() - 5, 14, 10), 1.5, 1.5);
      p.setPen(strokePen(ink, 2.2));
      for (int sx : {-1, 1}) {
        for (int sy : {-1, 1}) {
          const QPointF corner = c + QPointF(sx * 17, sy * 12.5);
          p.drawLine(corner, corner - QPointF(sx * 7, 0));
          p.drawLine(corner, corner - QPointF(0, sy * 6));
          p.drawLine(corner - QPointF(sx * 1.5, sy * 1.2), c + QPointF(sx * 9.5, sy * 7));
        }
      }
      break;
    }
    case Glyph::scan:
      drawArcArrow(p, c, 11, 100, 150, ink, 2.4);
      drawArcArrow(p, c, 11, 280, 150, ink, 2.4);
      p.setPen(Qt::NoPen);
      p.setBrush(ink);
      {
        QPainterPath play;
        play.moveTo(c + QPointF(-3, -4.5));
        play.lineTo(c + QPointF(5, 0));
        play.lineTo(c + QPointF(-3, 4.5));
        play.closeSubpath();
        p.drawPath(play);
      }
      break;
    case Glyph::zoomIn:
    case Glyph::zoomOut: {
      const QPointF lens = c + QPointF(-2.5, -2.5);
      p.setBrush(Qt::NoBrush);
      p.setPen(strokePen(ink, 2));
      p.drawEllipse(lens, 7, 7);
      p.setPen(strokePen(ink, 3.2));
      p.drawLine(lens + QPointF(5.3, 5.3), lens + QPointF(11, 11));
      p.setPen(strokePen(ink, 1.8));
      p.drawLine(lens + QPointF(-3.5, 0), lens + QPointF(3.5, 0));
      if (glyph == Glyph::zoomIn) p.drawLine(lens + QPointF(0, -3.5), lens + QPointF(0, 3.5));
      break;
    }
    case Glyph::upLeft:
      drawArrow(p, c, 135, 17, ink);
      break;
    case Glyph::up:
      drawArrow(p, c, 90, 18, ink);
      break;
    case Glyph::upRight:
      drawArrow(p, c, 45, 17, ink);
      break;
    case Glyph::left:
      drawArrow(p, c, 180, 18, ink);
      break;
    case Glyph::home:
      drawHome(p, c, ink);
      break;
    case Glyph::right:
      drawArrow(p, c, 0, 18, ink);
      break;
    case Glyph::downLeft:
      drawArrow(p, c, 225, 17, ink);
      break;
    case Glyph::down:
      drawArrow(p, c, 270, 18, ink);
      break;
    case Glyph::downRight:
      drawArrow(p, c, 315, 17, ink);
      break;
    case Glyph::setup:
      drawGear(p, iconAt, 8.5, ink);
      drawLabel(p, b.face, QStringLiteral("Setup"), labelInk);
      break;
    case Glyph::playback: {
      p.setBrush(Qt::NoBrush);
      p.setPen(strokePen(ink, 1.8));
      p.drawEllipse(iconAt, 8, 8);
      QPainterPath play;
      play.moveTo(iconAt + QPointF(-2.6, -4.4));
      play.lineTo(iconAt + QPointF(4.6, 0));
      play.lineTo(iconAt + QPointF(-2.6, 4.4));
      play.closeSubpath();
      p.setPen(Qt::NoPen);
      p.setBrush(ink);
      p.drawPath(play);
      drawLabel(p, b.face, QStringLiteral("Playback"), labelInk);
      break;
    }
    case Glyph::snapshot:
      drawCamera(p, iconAt, ink);
      drawLabel(p, b.face, QStringLiteral("Snapshot"), labelInk);
      break;
    case Glyph::recordStart:
      drawRecordDot(p, iconAt, 6.5, look == Look::hover ? kRecordRedHot : kRecordRed);
      drawLabel(p, b.face, QStringLiteral("Record"), labelInk);
      break;
    case Glyph::recordStop:
      drawStopSquare(p, iconAt, 6, kRecordRedHot);
      drawLabel(p, b.face, QStringLiteral("Stop"), labelInk);
      break;
    case Glyph::recordHover: {
      // Shared by the start key's hover and the stop key's hover: the recording mark.
      p.setBrush(Qt::NoBrush);
      p.setPen(QPen(QColor(0xff, 0x62, 0x66, 120), 1.6));
      p.drawEllipse(iconAt, 8.5, 8.5);
      drawRecordDot(p, iconAt, 5.5, kRecordRedHot);
      drawLabel(p, b.face, QStringLiteral("REC"), labelInk);
      break;
    }
    case Glyph::minimize:
      p.setPen(Qt::NoPen);
      p.setBrush(ink);
      p.drawRoundedRect(QRectF(c.x() - 8, c.y() + 3, 16, 3.2), 1.6, 1.6);
      break;
    case Glyph::power: {
      const QColor red = look == Look::hover     ? kRecordRedHot
                         : look == Look::pressed ? kRecordRedDeep
                                                 : kRecordRed;
      if (look != Look::pressed) {
        // The symbol glows a little, more so under the mouse.
        for (int i = 3; i >= 1; --i) {
          QColor halo = red;
          halo.setAlpha(look == Look::hover ? 30 : 16);
          drawPower(p, c, 15, halo, 3.4 + i * 2.5);
        }
      }
      drawPower(p, c, 15, red, 3.6);
      break;
    }
  }
}

QImage drawButton(const QImage& background, const ButtonArt& b, Look look, Glyph glyph) {
  QImage img = background.copy(b.place);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);
  p.translate(-b.place.topLeft());
  // The record key that stands for "recording now" stays lit red, pressed or not.
  const bool latched = glyph == Glyph::recordStop;
  drawKey(p, b.face, b.shape, look);
  if (latched) {
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xe5, 0x48, 0x4d, 45));
    p.drawPath(keyPath(b.face.adjusted(1, 1, -1, -1), b.shape));
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(0xff, 0x62, 0x66, 170), 1));
    p.drawPath(keyPath(b.face.adjusted(0.5, 0.5, -0.5, -0.5), b.shape));
  }
  drawGlyph(p, b, look, glyph);
  return img;
}

// ---- files --------------------------------------------------------------------------------

bool saveBmp(const QImage& img, const QString& path) {
  // 24 bits per pixel: the window loads these as plain bitmaps without alpha.
  if (img.convertToFormat(QImage::Format_RGB888).save(path, "BMP")) return true;
  std::fprintf(stderr, "skin_art: cannot write %s\n", qPrintable(path));
  return false;
}

QString fileName(const char* prefix, int nn) {
  return QStringLiteral("%1_%2.bmp").arg(QString::fromLatin1(prefix)).arg(nn, 2, 10, QChar('0'));
}

bool writeSkin(const QDir& out) {
  const QImage background = drawBackground();
  bool ok = saveBmp(background, out.filePath(QStringLiteral("bg.bmp")));
  for (const ButtonArt& b : buttonTable()) {
    // Start and stop record share nn 37: the stop key shows ON_37 at rest and MOVE_37 when
    // pressed, so ON_37 is the red stop square and the hover look suits both keys.
    const bool record = b.glyph == Glyph::recordStart;
    const Glyph normal = b.glyph;
    const Glyph hover = record ? Glyph::recordHover : b.glyph;
    const Glyph pressed = record ? Glyph::recordStop : b.glyph;
    const Look pressedLook = record ? Look::normal : Look::pressed;
    ok &= saveBmp(drawButton(background, b, Look::normal, normal),
                  out.filePath(fileName("MOVE", b.nn)));
    ok &=
        saveBmp(drawButton(background, b, Look::hover, hover), out.filePath(fileName("OFF", b.nn)));
    ok &= saveBmp(drawButton(background, b, pressedLook, pressed),
                  out.filePath(fileName("ON", b.nn)));
  }
  return ok;
}

// A snapshot is drawn over the top left of its template; what shows of the canvas around a
// smaller picture is black.
bool writeSnapshotTemplates(const QDir& out) {
  static constexpr std::array<QSize, 6> kSizes{
      {{160, 120}, {320, 240}, {640, 480}, {1024, 768}, {1280, 720}, {1280, 1024}}};
  bool ok = true;
  for (const QSize size : kSizes) {
    QImage canvas(size, QImage::Format_RGB32);
    canvas.fill(Qt::black);
    const QString name = QStringLiteral("Snapshot_%1_%2.jpg").arg(size.width()).arg(size.height());
    if (!canvas.save(out.filePath(name), "JPG")) {
      std::fprintf(stderr, "skin_art: cannot write %s\n", qPrintable(out.filePath(name)));
      ok = false;
    }
  }
  return ok;
}

// ---- preview ------------------------------------------------------------------------------

QImage loadOrMark(const QString& path, const QSize& size) {
  QImage img(path);
  if (!img.isNull()) return img;
  std::fprintf(stderr, "skin_art: cannot read %s\n", qPrintable(path));
  img = QImage(size, QImage::Format_RGB32);
  img.fill(Qt::magenta);
  return img;
}

// The window as the viewer shows it, put together from the written files only.
QImage composeWindow(const QDir& skin, const char* prefix) {
  const QImage bg =
      loadOrMark(skin.filePath(QStringLiteral("bg.bmp")), {kWindowWidth, kWindowHeight});
  QImage window(bg.size(), QImage::Format_ARGB32_Premultiplied);
  window.fill(Qt::transparent);
  QPainter p(&window);
  QPainterPath shape;
  shape.addRoundedRect(QRectF(bg.rect()), 7.5, 7.5);
  p.setClipPath(shape);
  p.drawImage(0, 0, bg);
  for (const ButtonArt& b : buttonTable()) {
    if (!b.shownAtStart) continue;
    p.drawImage(b.place.topLeft(),
                loadOrMark(skin.filePath(fileName(prefix, b.nn)), b.place.size()));
  }
  // Grid lines of the 16-tile start layout, as the tiles paint them.
  p.setPen(Qt::white);
  for (int i = 1; i <= 4; ++i) {
    p.drawLine(60 + i * 160 - 1, 60, 60 + i * 160 - 1, 539);
    p.drawLine(60, 60 + i * 120 - 1, 699, 60 + i * 120 - 1);
  }
  return window;
}

// Every bitmap at twice its size, one row per button: normal, hover, pressed.
QImage composeSheet(const QDir& skin) {
  constexpr int kScale = 2;
  constexpr int kCell = 180;
  constexpr int kRowHeight = 170;
  const auto table = buttonTable();
  const int rows = static_cast<int>(table.size() + 1) / 2;
  QImage sheet(kCell * 6 + 20, rows * kRowHeight + 20, QImage::Format_RGB32);
  sheet.fill(QColor(0x30, 0x30, 0x30));
  QPainter p(&sheet);
  p.setPen(Qt::white);
  p.setFont(uiFont(11));
  int i = 0;
  for (const ButtonArt& b : table) {
    const int x0 = 10 + (i % 2) * kCell * 3;
    const int y0 = 10 + (i / 2) * kRowHeight;
    int x = x0;
    for (const char* prefix : {"MOVE", "OFF", "ON"}) {
      const QImage img = loadOrMark(skin.filePath(fileName(prefix, b.nn)), b.place.size());
      p.drawImage(QRect(x, y0 + 14, img.width() * kScale, img.height() * kScale), img);
      p.drawText(QPointF(x, y0 + 10), fileName(prefix, b.nn));
      x += kCell;
    }
    ++i;
  }
  return sheet;
}

bool writePreview(const QDir& skin, const QDir& out) {
  bool ok = composeWindow(skin, "MOVE").save(out.filePath(QStringLiteral("preview_normal.png")));
  ok &= composeWindow(skin, "OFF").save(out.filePath(QStringLiteral("preview_hover.png")));
  ok &= composeWindow(skin, "ON").save(out.filePath(QStringLiteral("preview_pressed.png")));
  ok &= composeSheet(skin).save(out.filePath(QStringLiteral("preview_sheet.png")));
  return ok;
}

// The desktop icon: the lens mark on a rounded slate tile, transparent around it.
QImage drawIcon(int size) {
  QImage img(size, size, QImage::Format_ARGB32_Premultiplied);
  img.fill(Qt::transparent);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF tile(size * 0.04, size * 0.04, size * 0.92, size * 0.92);
  QLinearGradient fill(tile.topLeft(), tile.bottomLeft());
  fill.setColorAt(0, kBackgroundTop);
  fill.setColorAt(1, kBackgroundBottom);
  p.setPen(QPen(kPanelBorder, std::max(1.0, size / 48.0)));
  p.setBrush(fill);
  p.drawRoundedRect(tile, size * 0.18, size * 0.18);
  drawLensMark(p, tile.center(), size * 0.34);
  return img;
}

}  // namespace
}  // namespace ipcam

int main(int argc, char** argv) {
  // Drawing needs fonts but no screen.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  const QStringList args = QGuiApplication::arguments();
  // skin_art --icon <file.png> <size>: the desktop icon, drawn at build time.
  if (args.size() == 4 && args[1] == QLatin1String("--icon")) {
    const int size = args[3].toInt();
    if (size <= 0 || !ipcam::drawIcon(size).save(args[2], "PNG")) {
      std::fprintf(stderr, "skin_art: cannot write %s\n", qPrintable(args[2]));
      return 1;
    }
    return 0;
  }
  QString outDir;
  QString previewDir;
  for (int i = 1; i < args.size(); ++i) {
    if (args[i] == QLatin1String("--preview") && i + 1 < args.size()) {
      previewDir = args[++i];
    } else if (outDir.isEmpty() && !args[i].startsWith(QLatin1String("--"))) {
      outDir = args[i];
    } else {
      outDir.clear();
      break;
    }
  }
  if (outDir.isEmpty()) {
    std::fprintf(stderr, "usage: skin_art <output folder> [--preview <folder>]\n");
    return 2;
  }
  const QDir out(outDir);
  if (!QDir().mkpath(outDir)) {
    std::fprintf(stderr, "skin_art: cannot create %s\n", qPrintable(outDir));
    return 1;
  }
  if (!ipcam::writeSkin(out) || !ipcam::writeSnapshotTemplates(out)) return 1;
  if (!previewDir.isEmpty()) {
    QDir().mkpath(previewDir);
    if (!ipcam::writePreview(out, QDir(previewDir))) return 1;
  }
  return 0;
}
