#include "controls/TestDialog.h"

#include <QIcon>
#include <QKeyEvent>
#include <QLabel>

CTestDialog::CTestDialog(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint) {
  setFixedSize(432 + 2, 288 + 2);
  setStyleSheet(QStringLiteral("CTestDialog { border: 1px solid black; }"));
  auto* picture = new QLabel(this);
  picture->setGeometry(1, 1, 432, 288);
  picture->setPixmap(QIcon(QStringLiteral(":/bitmaps/title.svg")).pixmap(432, 288));
  // The picture lets mouse presses through to the dialog.
  picture->setAttribute(Qt::WA_TransparentForMouseEvents);
}

void CTestDialog::mousePressEvent(QMouseEvent* event) {
  QDialog::mousePressEvent(event);
  if (event->button() == Qt::LeftButton) accept();
}

void CTestDialog::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    accept();
    return;
  }
  QDialog::keyPressEvent(event);
}
