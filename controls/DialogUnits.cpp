#include "controls/DialogUnits.h"

#include <QFontMetrics>

namespace gui {

DialogUnits::DialogUnits(const QWidget* dialog) {
  const QFontMetrics metrics(dialog->font());
  const QString letters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
  m_baseX = (metrics.horizontalAdvance(letters) / 26 + 1) / 2;
  m_baseY = metrics.height();
  if (m_baseX < 1) m_baseX = 6;
  if (m_baseY < 1) m_baseY = 13;
}

void DialogUnits::Place(QWidget* control, int x, int y, int cx, int cy) const {
  control->setGeometry(X(x), Y(y), X(cx), Y(cy));
}

void DialogUnits::Size(QWidget* dialog, int cx, int cy) const { dialog->setFixedSize(X(cx), Y(cy)); }

void PlaceByFrame(QWidget* dialog) {
  const QRect frame = dialog->frameGeometry(), client = dialog->geometry();
  if (frame == client) return;  // the first showing: the frame is not known yet
  dialog->setGeometry(QRect(frame.topLeft(), client.size()));
  dialog->setAttribute(Qt::WA_Moved, false);  // centred again at the next showing
}

}  // namespace gui
