#include "controls/BtnST.h"

#include <QApplication>
#include <QEnterEvent>
#include <QFocusEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionFocusRect>

#include <algorithm>

CBtnST::CBtnST(QWidget* parent) : QPushButton(parent) {}

CBtnST::CBtnST(const QString& text, QWidget* parent) : QPushButton(text, parent) {}

void CBtnST::SetIcons(const QIcon& in, const QIcon& out, int cx, int cy) {
  m_hoverIcon = in;
  m_normalIcon = out.isNull() ? in : out;
  m_iconSize = QSize(cx, cy);
  setIconSize(m_iconSize);
  updateGeometry();
  repaint();
}

void CBtnST::SetFlatLook(bool flat) {
  m_bIsFlat = flat;
  update();
}

void CBtnST::SetIconPlacement(int placement) {
  if (placement == 0 || placement == 1) m_nIconAlign = placement;
  updateGeometry();
  update();
}

void CBtnST::SetTextShown(bool shown) {
  m_bShowText = shown;
  update();
}

void CBtnST::SetFlatFocus(bool focus, bool repaint) {
  m_bDrawFlatFocus = focus;
  if (repaint) update();
}

void CBtnST::SetNormalBackColor(const QColor& c, bool repaint) {
  m_crInactiveBg = c;
  if (repaint) update();
}
void CBtnST::SetNormalTextColor(const QColor& c, bool repaint) {
  m_crInactiveFg = c;
  if (repaint) update();
}
void CBtnST::SetHoverBackColor(const QColor& c, bool repaint) {
  m_crActiveBg = c;
  if (repaint) update();
}
void CBtnST::SetHoverTextColor(const QColor& c, bool repaint) {
  m_crActiveFg = c;
  if (repaint) update();
}

QColor CBtnST::Role(const QColor& own, QPalette::ColorRole role) const {
  return own.isValid() ? own : palette().color(QPalette::Active, role);
}
QColor CBtnST::GetNormalBackColor() const { return Role(m_crInactiveBg, QPalette::Button); }
QColor CBtnST::GetNormalTextColor() const { return Role(m_crInactiveFg, QPalette::ButtonText); }
QColor CBtnST::GetHoverBackColor() const { return Role(m_crActiveBg, QPalette::Button); }
QColor CBtnST::GetHoverTextColor() const { return Role(m_crActiveFg, QPalette::ButtonText); }

void CBtnST::ResetColors(bool repaint) {
  m_crInactiveBg = m_crInactiveFg = m_crActiveBg = m_crActiveFg = QColor();
  if (repaint) update();
}

QSize CBtnST::sizeHint() const {
  const QFontMetrics fm = fontMetrics();
  const QString caption = m_bShowText ? text() : QString();
  const QSize textSize = caption.isEmpty() ? QSize(0, 0) : fm.size(Qt::TextShowMnemonic, caption);
  const bool icon = !m_hoverIcon.isNull();
  int w, h;
  if (m_nIconAlign == 0) {
    w = (icon ? m_iconSize.width() + 3 : 0) + textSize.width() + (icon && !caption.isEmpty() ? 3 : 0);
    h = std::max(icon ? m_iconSize.height() : 0, textSize.height());
  } else {
    w = std::max(icon ? m_iconSize.width() : 0, textSize.width());
    h = (icon ? m_iconSize.height() : 0) + textSize.height();
  }
  return QSize(w + 12, h + 8);
}

void CBtnST::enterEvent(QEnterEvent* event) {
  QPushButton::enterEvent(event);
  // Dragging onto the button with the left button held does not highlight it.
  if ((QApplication::mouseButtons() & Qt::LeftButton) && !m_bMouseOnButton) return;
  if (!m_bIsFlat) return;
  m_bMouseOnButton = true;
  update();
}

void CBtnST::leaveEvent(QEvent* event) {
  QPushButton::leaveEvent(event);
  if (m_bMouseOnButton) {
    m_bMouseOnButton = false;
    update();
  }
}

void CBtnST::focusOutEvent(QFocusEvent* event) {
  QPushButton::focusOutEvent(event);
  if (m_bIsFlat && m_bMouseOnButton) {
    m_bMouseOnButton = false;
    update();
  }
}

void CBtnST::changeEvent(QEvent* event) {
  QPushButton::changeEvent(event);
  if (event->type() == QEvent::EnabledChange) {
    if (!isEnabled()) m_bMouseOnButton = false;
    update();
  }
}

void CBtnST::paintEvent(QPaintEvent*) {
  // Qt paints widgets into a back buffer, which stands for the off-screen
  // device context: a repaint shows no flicker.
  QPainter p(this);
  const bool pressed = isDown();
  const bool disabled = !isEnabled();
  const bool active = m_bMouseOnButton || pressed;
  QRect r = rect();
  const QPalette& pal = palette();

  if (!m_bIsFlat && hasFocus()) {
    p.setPen(Qt::black);
    p.drawRect(r.adjusted(0, 0, -1, -1));
    r.adjust(1, 1, -1, -1);
  }
  p.fillRect(r, active ? GetHoverBackColor() : GetNormalBackColor());

  const QColor light = pal.color(QPalette::Light);
  const QColor shadow = pal.color(QPalette::Dark);
  auto frame = [&](const QColor& topLeft, const QColor& bottomRight) {
    p.setPen(topLeft);
    p.drawLine(r.left(), r.bottom(), r.left(), r.top());
    p.drawLine(r.left(), r.top(), r.right(), r.top());
    p.setPen(bottomRight);
    p.drawLine(r.left(), r.bottom(), r.right(), r.bottom());
    p.drawLine(r.right(), r.bottom(), r.right(), r.top());
  };
  if (pressed && m_bIsFlat && m_bDrawBorder) {
    frame(shadow, light);  // sunken
  } else if (pressed && !m_bIsFlat) {
    p.setPen(shadow);
    p.drawRect(r.adjusted(0, 0, -1, -1));
  } else if (m_bIsFlat && m_bMouseOnButton && m_bDrawBorder) {
    frame(light, shadow);  // raised
  } else if (!m_bIsFlat) {
    frame(light, pal.color(QPalette::Shadow));
    p.setPen(pal.color(QPalette::Midlight));
    p.drawLine(r.left() + 1, r.bottom() - 1, r.left() + 1, r.top() + 1);
    p.drawLine(r.left() + 1, r.top() + 1, r.right() - 1, r.top() + 1);
    p.setPen(shadow);
    p.drawLine(r.left() + 1, r.bottom() - 1, r.right() - 1, r.bottom() - 1);
    p.drawLine(r.right() - 1, r.bottom() - 1, r.right() - 1, r.top() + 1);
  }

  const QString caption = m_bShowText ? text() : QString();
  QRect c = rect();
  if (!m_hoverIcon.isNull()) {
    QRect icon(QPoint(0, 0), m_iconSize);
    if (m_nIconAlign == 0) {
      if (caption.isEmpty()) {
        icon.moveLeft(c.left() + (c.width() - m_iconSize.width()) / 2);
      } else {
        icon.moveLeft(c.left() + 3);
        c.setLeft(c.left() + m_iconSize.width() + 3);
      }
      icon.moveTop(c.top() + (c.height() - m_iconSize.height()) / 2);
    } else {
      icon.moveLeft(c.left() + (c.width() - m_iconSize.width()) / 2);
      if (caption.isEmpty())
        icon.moveTop(c.top() + (c.height() - m_iconSize.height()) / 2);
      else {
        icon.moveTop(c.top());
        c.setTop(c.top() + m_iconSize.height());
      }
    }
    if (pressed) icon.translate(1, 1);
    const QIcon& which = active ? m_hoverIcon : m_normalIcon;
    which.paint(&p, icon, Qt::AlignCenter, disabled ? QIcon::Disabled : QIcon::Normal);
  }
  if (!caption.isEmpty()) {
    if (pressed) c.translate(1, 1);
    const int flags = Qt::AlignCenter | Qt::TextSingleLine | Qt::TextShowMnemonic;
    if (disabled) {
      // Embossed: a light copy one pixel down and right under the grey text.
      p.setPen(light);
      p.drawText(c.translated(1, 1), flags, caption);
      p.setPen(pal.color(QPalette::Disabled, QPalette::WindowText));
    } else {
      p.setPen(active ? GetHoverTextColor() : GetNormalTextColor());
    }
    p.drawText(c, flags, caption);
  }
  if (hasFocus() && (!m_bIsFlat || m_bDrawFlatFocus)) {
    QStyleOptionFocusRect option;
    option.initFrom(this);
    option.rect = r.adjusted(3, 3, -3, -3);
    style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &p, this);
  }
}
