// An owner-drawn push button with one or two icons: flat at rest, a thin
// raised frame and the hover icon while the mouse is over it, a sunken frame
// with icon and text moved one pixel while pressed, drawn embossed when
// disabled. The icon sits left of the text (or above it), and the button
// has its own colours for the normal and the hover state.
#pragma once

#include <QColor>
#include <QIcon>
#include <QPushButton>

class CBtnST : public QPushButton {
  Q_OBJECT

 public:
  explicit CBtnST(QWidget* parent = nullptr);
  CBtnST(const QString& text, QWidget* parent = nullptr);

  // `in` is shown under the mouse and while pressed, `out` otherwise (`in`
  // in both states when `out` is null); the icons are drawn at cx x cy pixels.
  void SetIcons(const QIcon& in, const QIcon& out = QIcon(), int cx = 32, int cy = 32);

  void SetFlatLook(bool flat);
  bool IsFlatLook() const { return m_bIsFlat; }
  // 0: icon left of the text, 1: icon above it; other values are ignored.
  void SetIconPlacement(int placement);
  int GetIconPlacement() const { return m_nIconAlign; }
  void SetHoverBorder(bool border) { m_bDrawBorder = border; }
  void SetTextShown(bool shown);
  bool IsTextShown() const { return m_bShowText; }
  void SetFlatFocus(bool focus, bool repaint = false);
  bool GetFlatFocus() const { return m_bDrawFlatFocus; }
  void SetNormalBackColor(const QColor& c, bool repaint = true);
  void SetNormalTextColor(const QColor& c, bool repaint = true);
  void SetHoverBackColor(const QColor& c, bool repaint = true);
  void SetHoverTextColor(const QColor& c, bool repaint = true);
  QColor GetNormalBackColor() const;
  QColor GetNormalTextColor() const;
  QColor GetHoverBackColor() const;
  QColor GetHoverTextColor() const;
  // Back to the system's button colours.
  void ResetColors(bool repaint = true);

  bool IsMouseOver() const { return m_bMouseOnButton; }
  static int GetVersionNumber() { return 23; }
  static const char* GetVersionText() { return "2.3"; }

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override { return sizeHint(); }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  QColor Role(const QColor& own, QPalette::ColorRole role) const;

  int m_nIconAlign = 0;
  bool m_bShowText = true;
  bool m_bDrawBorder = true;
  bool m_bIsFlat = true;
  bool m_bMouseOnButton = false;
  bool m_bDrawFlatFocus = false;
  QIcon m_hoverIcon;
  QIcon m_normalIcon;
  QSize m_iconSize{32, 32};
  // Invalid colours stand for the system's button colours.
  QColor m_crInactiveBg, m_crInactiveFg, m_crActiveBg, m_crActiveFg;
};
