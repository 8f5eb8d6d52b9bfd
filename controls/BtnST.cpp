#include "controls/BtnST.h"

CBtnST::CBtnST(QWidget* parent) : QPushButton(parent) { setFlat(true); }

CBtnST::CBtnST(const QString& text, QWidget* parent) : QPushButton(text, parent) { setFlat(true); }

void CBtnST::SetIcons(const QIcon& in, const QIcon& out, int cx, int cy) {
  m_hoverIcon = in;
  m_normalIcon = out.isNull() ? in : out;
  setIconSize(QSize(cx, cy));
  setIcon(underMouse() ? m_hoverIcon : m_normalIcon);
}

void CBtnST::enterEvent(QEnterEvent* event) {
  QPushButton::enterEvent(event);
  if (!m_hoverIcon.isNull()) setIcon(m_hoverIcon);
}

void CBtnST::leaveEvent(QEvent* event) {
  QPushButton::leaveEvent(event);
  if (!m_normalIcon.isNull()) setIcon(m_normalIcon);
}
