#include "app/HelpWindow.h"

#include <QPushButton>
#include <QTextBrowser>
#include <QVBoxLayout>

CHelpWindow::CHelpWindow(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Ostinato 3 Help"));
  m_browser = new QTextBrowser(this);
  m_browser->setOpenExternalLinks(true);
  auto* close = new QPushButton(QStringLiteral("Close"), this);
  connect(close, &QPushButton::clicked, this, &QDialog::close);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(m_browser);
  layout->addWidget(close, 0, Qt::AlignRight);
  resize(640, 520);
}

void CHelpWindow::ShowPage(const QUrl& page) {
  m_browser->setSource(page);
  show();
  raise();
  activateWindow();
}

QUrl CHelpWindow::Page() const { return m_browser->source(); }
