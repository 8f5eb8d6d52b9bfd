#include "app/HelpWindow.h"

#include <QFile>
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
  const QString file = page.scheme() == QLatin1String("qrc") ? QLatin1Char(':') + page.path() : page.toLocalFile();
  if (QFile::exists(file))
    m_browser->setSource(page);
  else
    m_browser->setHtml(QStringLiteral("<p>The help of Ostinato 3 could not be found.</p>"));
  show();
  raise();
  activateWindow();
}

QUrl CHelpWindow::Page() const { return m_browser->source(); }
