// The title picture shown once before the main window; a click anywhere on
// it, Enter or Escape closes it.
#pragma once

#include <QDialog>

class CTestDialog : public QDialog {
  Q_OBJECT

 public:
  explicit CTestDialog(QWidget* parent = nullptr);

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
};
