#include "app/AboutDlg.h"

#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("About Ostinato 3"));
  auto* picture = new QLabel(this);
  picture->setPixmap(QIcon(QStringLiteral(":/bitmaps/about.svg")).pixmap(77, 105));
  picture->setFixedSize(77, 105);
  auto* version = new QLabel(QStringLiteral("Ostinato Version 3.0"), this);
  auto* credits = new QLabel(QStringLiteral("Co-written by :\n    the Ostinato developers"), this);
  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);

  auto* texts = new QVBoxLayout;
  texts->addWidget(version);
  texts->addSpacing(8);
  texts->addWidget(credits);
  texts->addStretch();
  auto* buttons = new QVBoxLayout;
  buttons->addWidget(ok);
  buttons->addStretch();
  auto* row = new QHBoxLayout(this);
  row->addWidget(picture, 0, Qt::AlignTop);
  row->addSpacing(10);
  row->addLayout(texts, 1);
  row->addLayout(buttons);
  setFixedSize(360, 135);
}
