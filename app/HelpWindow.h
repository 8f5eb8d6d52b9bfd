// The help window: an HTML page in a browser of our own, not modal.
#pragma once

#include <QDialog>
#include <QUrl>

class QTextBrowser;

class CHelpWindow : public QDialog {
  Q_OBJECT

 public:
  explicit CHelpWindow(QWidget* parent = nullptr);
  void ShowPage(const QUrl& page);
  QUrl Page() const;

 private:
  QTextBrowser* m_browser;
};
