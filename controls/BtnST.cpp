#include "controls/BtnST.h"

#include <QEnterEvent>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>

namespace {

// The caption without its mnemonic marks ("&&" stays one "&"), for measuring.
QString WithoutMnemonics(const QString& text) {
  QString plain;
  plain.reserve(text.size());
  for (qsizetype i = 0; i < text.size(); ++i) {
    if (text[i] == QLatin1Char('&')) {
      if (i + 1 < text.size() && text[i + 1] == QLatin1Char('&')) plain += QLatin1Char('&');
      ++i;
      if (i < text.size() && text[i] != QLatin1Char('&')) plain += text[i];
      continue;
    }
    plain += text[i];
  }
  return plain;
}

// The dark parts of `source` as one solid colour: the shape an embossed
// (disabled) picture is made of. Light and transparent pixels drop out, so a
// white symbol on a coloured disc stays visible as a hole.
QImage Silhouette(const QImage& source, const QColor& color) {
  QImage shape(source.size(), QImage::Format_ARGB32_Premultiplied);
  shape.setDevicePixelRatio(source.devicePixelRatio());
  shape.fill(Qt::transparent);
  const QImage argb = source.convertToFormat(QImage::Format_ARGB32);
  const QRgb ink = color.rgba();
  for (int y = 0; y < argb.height(); ++y) {
    const QRgb* in = reinterpret_cast<const QRgb*>(argb.constScanLine(y));
    QRgb* out = reinterpret_cast<QRgb*>(shape.scanLine(y));
    for (int x = 0; x < argb.width(); ++x)
      if (qAlpha(in[x]) >= 128 && qGray(in[x]) < 200) out[x] = ink;
  }
  return shape;
}

}  // namespace

CBtnST::CBtnST(QWidget* parent) : QPushButton(parent) { setFlat(true); }

CBtnST::CBtnST(const QString& text, QWidget* parent) : QPushButton(text, parent) { setFlat(true); }

void CBtnST::SetIcons(const QIcon& in, const QIcon& out, int cx, int cy) {
  m_hoverIcon = in;
  m_normalIcon = out.isNull() ? in : out;
  m_cxIcon = cx;
  m_cyIcon = cy;
  setIconSize(QSize(cx, cy));
  updateGeometry();
  Repaint();
}

void CBtnST::SetIcons(int in, int out, int cx, int cy) {
  const auto load = [](int id) { return QIcon(QStringLiteral(":/buttons/%1.svg").arg(id)); };
  SetIcons(load(in), out ? load(out) : QIcon(), cx, cy);
}

void CBtnST::SetFlatLook(bool flat) {
  m_bIsFlat = flat;
  if (!flat) m_bMouseOnButton = false;
  Repaint();
}

void CBtnST::SetIconPlacement(int placement) {
  if (placement == IconLeft || placement == IconTop) m_nIconPlacement = placement;
  updateGeometry();
  Repaint();
}

void CBtnST::SetTextShown(bool shown) {
  m_bShowText = shown;
  updateGeometry();
  Repaint();
}

void CBtnST::SetFlatFocus(bool draw, bool repaint) {
  m_bDrawFlatFocus = draw;
  if (repaint) Repaint();
}

void CBtnST::SetNormalBackColor(const QColor& color, bool repaint) {
  m_normalBack = color;
  if (repaint) Repaint();
}
void CBtnST::SetNormalTextColor(const QColor& color, bool repaint) {
  m_normalText = color;
  if (repaint) Repaint();
}
void CBtnST::SetHoverBackColor(const QColor& color, bool repaint) {
  m_hoverBack = color;
  if (repaint) Repaint();
}
void CBtnST::SetHoverTextColor(const QColor& color, bool repaint) {
  m_hoverText = color;
  if (repaint) Repaint();
}

QColor CBtnST::SystemColor(QPalette::ColorRole role) const { return palette().color(QPalette::Active, role); }

QColor CBtnST::GetNormalBackColor() const { return m_normalBack.value_or(SystemColor(QPalette::Button)); }
QColor CBtnST::GetNormalTextColor() const { return m_normalText.value_or(SystemColor(QPalette::ButtonText)); }
QColor CBtnST::GetHoverBackColor() const { return m_hoverBack.value_or(SystemColor(QPalette::Button)); }
QColor CBtnST::GetHoverTextColor() const { return m_hoverText.value_or(SystemColor(QPalette::ButtonText)); }

void CBtnST::ResetNormalBackColor(bool repaint) {
  m_normalBack.reset();
  if (repaint) Repaint();
}
void CBtnST::ResetNormalTextColor(bool repaint) {
  m_normalText.reset();
  if (repaint) Repaint();
}
void CBtnST::ResetHoverBackColor(bool repaint) {
  m_hoverBack.reset();
  if (repaint) Repaint();
}
void CBtnST::ResetHoverTextColor(bool repaint) {
  m_hoverText.reset();
  if (repaint) Repaint();
}

void CBtnST::ResetColors(bool repaint) {
  m_normalBack.reset();
  m_normalText.reset();
  m_hoverBack.reset();
  m_hoverText.reset();
  if (repaint) Repaint();
}

void CBtnST::SetHoverCursor(const QCursor& cursor) {
  m_hoverCursor = cursor;
  setCursor(cursor);
}

void CBtnST::ClearHoverCursor() {
  m_hoverCursor.reset();
  unsetCursor();
}

QIcon CBtnST::CurrentIcon() const { return (m_bMouseOnButton || isDown()) ? m_hoverIcon : m_normalIcon; }

QString CBtnST::Caption() const { return m_bShowText ? text() : QString(); }

void CBtnST::Repaint() {
  // The widget is painted double-buffered; asking for one update coalesces
  // with any other pending one, so a state change costs a single paint.
  update();
}

void CBtnST::SetMouseOver(bool over) {
  if (m_bMouseOnButton == over) return;
  m_bMouseOnButton = over;
  Repaint();
}

QSize CBtnST::sizeHint() const {
  ensurePolished();
  const QString caption = Caption();
  const QFontMetrics metrics(font());
  const QSize textSize = caption.isEmpty()
                             ? QSize(0, 0)
                             : QSize(metrics.horizontalAdvance(WithoutMnemonics(caption)), metrics.height());
  const bool icon = !m_hoverIcon.isNull();
  const QSize iconSize = icon ? QSize(m_cxIcon, m_cyIcon) : QSize(0, 0);
  // Room for the frame on each side, and one pixel for the pressed shift.
  const int pad = 2 * 3 + 1;
  QSize content;
  if (m_nIconPlacement == IconTop) {
    content = QSize(qMax(iconSize.width(), textSize.width()), iconSize.height() + textSize.height());
  } else {
    const int iconPart = icon && !caption.isEmpty() ? iconSize.width() + 3 : iconSize.width();
    content = QSize(iconPart + textSize.width(), qMax(iconSize.height(), textSize.height()));
  }
  return content + QSize(pad, pad);
}

QSize CBtnST::minimumSizeHint() const { return sizeHint(); }

QRect CBtnST::PlaceIcon(const QRect& item, QRect& caption, bool pressed) const {
  QRect icon = item;
  const bool noCaption = Caption().isEmpty();
  if (m_nIconPlacement == IconLeft) {
    if (noCaption) {
      icon.setLeft(item.left() + (item.width() - m_cxIcon) / 2);
    } else {
      icon.setLeft(item.left() + 3);
      caption.setLeft(caption.left() + m_cxIcon + 3);
    }
    icon.setTop(item.top() + (item.height() - m_cyIcon) / 2);
  } else {
    icon.setLeft(item.left() + (item.width() - m_cxIcon) / 2);
    if (noCaption)
      icon.setTop(item.top() + (item.height() - m_cyIcon) / 2);
    else
      caption.setTop(caption.top() + m_cyIcon);
  }
  icon.setSize(QSize(m_cxIcon, m_cyIcon));
  if (pressed) icon.translate(1, 1);
  return icon;
}

void CBtnST::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const bool pressed = isDown();
  const bool disabled = !isEnabled();
  const bool focused = hasFocus();
  const bool hot = m_bMouseOnButton || pressed;
  QRect r = rect();

  const auto line = [&painter](const QColor& color, QPoint a, QPoint b, QPoint c) {
    painter.setPen(color);
    painter.drawLine(a, b);
    painter.drawLine(b, c);
  };

  if (!m_bIsFlat && focused) {
    painter.setPen(Qt::black);
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(r.adjusted(0, 0, -1, -1));
    r.adjust(1, 1, -1, -1);
  }
  painter.fillRect(r, hot ? GetHoverBackColor() : GetNormalBackColor());

  const int left = r.left(), top = r.top(), right = r.right(), bottom = r.bottom();
  const QColor shadow = SystemColor(QPalette::Dark);
  const QColor highlight = SystemColor(QPalette::Light);
  if (pressed) {
    if (m_bIsFlat && m_bDrawBorder) {
      line(shadow, {left, bottom}, {left, top}, {right, top});
      line(highlight, {left, bottom}, {right, bottom}, {right, top});
    } else if (!m_bIsFlat) {
      painter.setPen(shadow);
      painter.setBrush(Qt::NoBrush);
      painter.drawRect(r.adjusted(0, 0, -1, -1));
    }
  } else if (m_bIsFlat) {
    if (m_bMouseOnButton && m_bDrawBorder) {
      line(highlight, {left, bottom}, {left, top}, {right, top});
      line(shadow, {left, bottom}, {right, bottom}, {right, top});
    }
  } else {
    line(highlight, {left, bottom}, {left, top}, {right, top});
    line(SystemColor(QPalette::Midlight), {left + 1, bottom}, {left + 1, top + 1}, {right, top + 1});
    line(SystemColor(QPalette::Shadow), {left, bottom}, {right, bottom}, {right, top});
    line(shadow, {left + 1, bottom - 1}, {right - 1, bottom - 1}, {right - 1, top + 1});
  }

  const QString caption = Caption();
  QRect captionRect = rect();
  if (!m_hoverIcon.isNull()) {
    const QRect iconRect = PlaceIcon(rect(), captionRect, pressed);
    const QPixmap pixmap = CurrentIcon().pixmap(iconRect.size(), devicePixelRatioF());
    if (disabled) {
      // Embossed: a light copy one pixel down and right, the shape in shadow over it.
      const QImage image = pixmap.toImage();
      painter.drawImage(iconRect.topLeft() + QPoint(1, 1), Silhouette(image, highlight));
      painter.drawImage(iconRect.topLeft(), Silhouette(image, shadow));
    } else {
      painter.drawPixmap(iconRect.topLeft(), pixmap);
    }
  }

  if (!caption.isEmpty()) {
    if (pressed) captionRect.translate(1, 1);
    painter.setFont(font());
    const QFontMetrics metrics(font());
    const QSize extent(metrics.horizontalAdvance(WithoutMnemonics(caption)), metrics.height());
    const QRect textRect(captionRect.left() + (captionRect.width() - extent.width()) / 2,
                         captionRect.top() + (captionRect.height() - extent.height()) / 2, extent.width(),
                         extent.height());
    const int flags = Qt::TextSingleLine | Qt::TextShowMnemonic | Qt::AlignLeft | Qt::AlignTop | Qt::TextDontClip;
    if (disabled) {
      painter.setPen(highlight);
      painter.drawText(textRect.translated(1, 1), flags, caption);
      painter.setPen(shadow);
    } else {
      painter.setPen(hot ? GetHoverTextColor() : GetNormalTextColor());
    }
    painter.drawText(textRect, flags, caption);
  }

  if (focused && (!m_bIsFlat || m_bDrawFlatFocus)) {
    // A dotted frame of our own: styles draw theirs only after keyboard use.
    QPen dots(hot ? GetHoverTextColor() : GetNormalTextColor());
    dots.setStyle(Qt::DotLine);
    painter.setPen(dots);
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(r.adjusted(3, 3, -4, -4));
  }
}

void CBtnST::enterEvent(QEnterEvent* event) {
  QPushButton::enterEvent(event);
  // Dragging onto the button with the left button held does not light it up.
  if (QGuiApplication::mouseButtons() & Qt::LeftButton) return;
  if (!m_bIsFlat || !isEnabled()) return;
  SetMouseOver(true);
}

void CBtnST::leaveEvent(QEvent* event) {
  QPushButton::leaveEvent(event);
  SetMouseOver(false);
}

void CBtnST::mouseMoveEvent(QMouseEvent* event) {
  QPushButton::mouseMoveEvent(event);
  // While the button is held the mouse stays with it; moving off ends the
  // hover look (and the pressed look, by the base class) without letting go.
  if (m_bMouseOnButton && !rect().contains(event->position().toPoint())) SetMouseOver(false);
}

void CBtnST::focusOutEvent(QFocusEvent* event) {
  QPushButton::focusOutEvent(event);
  if (m_bIsFlat) SetMouseOver(false);
}

void CBtnST::hideEvent(QHideEvent* event) {
  QPushButton::hideEvent(event);
  // A dialog shown again must not open with a stale hover look.
  m_bMouseOnButton = false;
}

bool CBtnST::event(QEvent* event) {
  // A dialog may open with this button under the pointer that opened it.
  if (event->type() == QEvent::Show) m_pressGuard.Appeared();
  if (m_pressGuard.Drops(event)) return true;
  const bool handled = QPushButton::event(event);
  // The style's own hover repaint (it marks push buttons for hover events)
  // would paint every hover change a second time; the button tracks the
  // mouse itself.
  if (event->type() == QEvent::Polish) setAttribute(Qt::WA_Hover, false);
  return handled;
}

void CBtnST::changeEvent(QEvent* event) {
  QPushButton::changeEvent(event);
  if (event->type() == QEvent::EnabledChange)
    SetMouseOver(m_bIsFlat && isEnabled() && underMouse());
  else if (event->type() == QEvent::FontChange || event->type() == QEvent::PaletteChange)
    updateGeometry();
}
