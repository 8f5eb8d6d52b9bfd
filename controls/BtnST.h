// A flat push button with an icon left of its text; a second icon, when
// given, is shown while the mouse is over the button.
#pragma once

#include <QIcon>
#include <QPushButton>

class CBtnST : public QPushButton {
  Q_OBJECT

 public:
  explicit CBtnST(QWidget* parent = nullptr);
  CBtnST(const QString& text, QWidget* parent = nullptr);

  // `in` is shown under the mouse, `out` otherwise (`in` in both states when
  // `out` is null); the icons are drawn at cx x cy pixels.
  void SetIcons(const QIcon& in, const QIcon& out = QIcon(), int cx = 32, int cy = 32);

 protected:
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  QIcon m_hoverIcon;
  QIcon m_normalIcon;
};
