// The application object: starts the program (main window, the archive on
// the command line) and answers About, Help and Exit.
#pragma once

#include <QApplication>
#include <QPointer>
#include <QUrl>
#include <memory>

class CMainFrame;
class CHelpWindow;

class COstinatoApp : public QApplication {
  Q_OBJECT

 public:
  COstinatoApp(int& argc, char** argv);
  ~COstinatoApp() override;

  // Shows the main window and opens the archive named on the command line;
  // false when that archive cannot be opened.
  bool InitInstance();
  int ExitInstance(int code) { return code; }

  // The help file looked for in the folder the program started in.
  static QString HelpPath(const QString& startFolder);
  // The page the help window shows: the help file when it exists, else the
  // help built into the program.
  static QUrl HelpPage(const QString& helpPath);

  QString m_strHelpPath;

 public slots:
  void OnAppAbout();
  void OnAppHelp();
  void OnAppExit();

 private:
  void InitHelpPath();

  std::unique_ptr<CMainFrame> m_pMainWnd;
  QPointer<CHelpWindow> m_helpWindow;
};
