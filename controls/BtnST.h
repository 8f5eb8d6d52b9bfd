// An owner-drawn push button with one or two icons. In its flat look it is
// just its background at rest, raises a thin frame and shows its hover icon
// while the mouse is over it, and sinks the frame and shifts its content by
// one pixel while pressed; disabled, icon and text are drawn embossed. The
// icon sits left of the caption (or above it), and the button keeps its own
// colours for the normal and the hover state (the palette's button colours
// unless set).
#pragma once

#include <QColor>
#include <QCursor>
#include <QIcon>
#include <QPushButton>
#include <optional>

#include "controls/PressGuard.h"

class CBtnST : public QPushButton {
  Q_OBJECT

 public:
  enum IconPlacement { IconLeft = 0, IconTop = 1 };

  explicit CBtnST(QWidget* parent = nullptr);
  CBtnST(const QString& text, QWidget* parent = nullptr);

  // `in` is shown under the mouse and while pressed, `out` otherwise (`in` in
  // both states when `out` is null); the icons are drawn at cx x cy pixels.
  void SetIcons(const QIcon& in, const QIcon& out = QIcon(), int cx = 32, int cy = 32);
  // The same with the program's button icons by number (resources buttons/N.svg);
  // 0 for `out` means the same icon in both states.
  void SetIcons(int in, int out, int cx = 32, int cy = 32);

  void SetFlatLook(bool flat);
  bool IsFlatLook() const { return m_bIsFlat; }
  // IconLeft or IconTop; other values are ignored.
  void SetIconPlacement(int placement);
  int GetIconPlacement() const { return m_nIconPlacement; }
  void SetHoverBorder(bool draw) { m_bDrawBorder = draw; }
  void SetTextShown(bool shown);
  bool IsTextShown() const { return m_bShowText; }
  void SetFlatFocus(bool draw, bool repaint = false);
  bool GetFlatFocus() const { return m_bDrawFlatFocus; }

  void SetNormalBackColor(const QColor& color, bool repaint = true);
  void SetNormalTextColor(const QColor& color, bool repaint = true);
  void SetHoverBackColor(const QColor& color, bool repaint = true);
  void SetHoverTextColor(const QColor& color, bool repaint = true);
  QColor GetNormalBackColor() const;
  QColor GetNormalTextColor() const;
  QColor GetHoverBackColor() const;
  QColor GetHoverTextColor() const;
  // Back to the palette's colour.
  void ResetNormalBackColor(bool repaint = true);
  void ResetNormalTextColor(bool repaint = true);
  void ResetHoverBackColor(bool repaint = true);
  void ResetHoverTextColor(bool repaint = true);
  void ResetColors(bool repaint = true);

  // The cursor shown over the button; ClearHoverCursor leaves the usual one.
  void SetHoverCursor(const QCursor& cursor);
  void ClearHoverCursor();

  static int GetVersionNumber() { return 23; }
  static QString GetVersionText() { return QStringLiteral("2.3"); }

  // True while the mouse is over a flat button (its hover state).
  bool IsMouseOver() const { return m_bMouseOnButton; }
  // The icon the button draws in its present state.
  QIcon CurrentIcon() const;

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 protected:
  bool event(QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void SetMouseOver(bool over);
  void Repaint();
  QString Caption() const;
  // The palette's colour of `role`, the same whatever the button's state.
  QColor SystemColor(QPalette::ColorRole role) const;
  // Lays the icon out in the item rectangle and moves the caption rectangle
  // past it; returns the icon's rectangle.
  QRect PlaceIcon(const QRect& item, QRect& caption, bool pressed) const;

  int m_nIconPlacement = IconLeft;
  bool m_bShowText = true;
  bool m_bDrawBorder = true;
  bool m_bIsFlat = true;
  bool m_bMouseOnButton = false;
  bool m_bDrawFlatFocus = false;
  std::optional<QCursor> m_hoverCursor;
  PressGuard m_pressGuard;
  QIcon m_hoverIcon;
  QIcon m_normalIcon;
  int m_cyIcon = 0;
  int m_cxIcon = 0;
  std::optional<QColor> m_normalBack;
  std::optional<QColor> m_normalText;
  std::optional<QColor> m_hoverBack;
  std::optional<QColor> m_hoverText;
};
