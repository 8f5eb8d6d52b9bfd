// Dialog layouts are given in dialog units: a quarter of the font's average
// character width across, an eighth of its height down. Placing controls in
// those units keeps each dialog's proportions whatever font the desktop uses.
#pragma once

#include <QWidget>

namespace gui {

class DialogUnits {
 public:
  explicit DialogUnits(const QWidget* dialog);
  int X(int units) const { return (units * m_baseX + 2) / 4; }
  int Y(int units) const { return (units * m_baseY + 4) / 8; }
  void Place(QWidget* control, int x, int y, int cx, int cy) const;
  void Size(QWidget* dialog, int cx, int cy) const;

 private:
  int m_baseX;
  int m_baseY;
};

// Qt centres a dialog by its frame, but before the dialog's first showing the
// frame is not known and the client area goes where the frame should: shown
// again, the same dialog came one title bar lower. Called from showEvent, after
// the dialog has centred itself, this puts the client area there every time.
void PlaceByFrame(QWidget* dialog);

}  // namespace gui
