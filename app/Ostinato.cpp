#include "app/Ostinato.h"

#include <QDir>
#include <QFileInfo>

#include "app/AboutDlg.h"
#include "app/HelpWindow.h"
#include "app/MainFrm.h"
#include "controls/Prompt.h"

COstinatoApp::COstinatoApp(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(QString::fromLatin1(gui::kAppTitle));
  setOrganizationName(QStringLiteral("Local AppWizard-Generated Applications"));
  setApplicationVersion(QStringLiteral("3.0"));
  setWindowIcon(QIcon(QStringLiteral(":/icons/ostinato.svg")));
}

COstinatoApp::~COstinatoApp() {
  delete m_helpWindow.data();
  m_pMainWnd.reset();
}

QString COstinatoApp::HelpPath(const QString& startFolder) {
  QString path = QDir::cleanPath(startFolder);
  if (!path.endsWith(QLatin1Char('/'))) path += QLatin1Char('/');
  return path + QStringLiteral("OstinatoHelp.html");
}

QUrl COstinatoApp::HelpPage(const QString& helpPath) {
  if (QFileInfo(helpPath).isFile()) return QUrl::fromLocalFile(helpPath);
  return QUrl(QStringLiteral("qrc:/help/index.html"));
}

void COstinatoApp::InitHelpPath() { m_strHelpPath = HelpPath(QDir::currentPath()); }

bool COstinatoApp::InitInstance() {
  m_pMainWnd = std::make_unique<CMainFrame>(true);
  connect(m_pMainWnd.get(), &CMainFrame::appAbout, this, &COstinatoApp::OnAppAbout);
  connect(m_pMainWnd.get(), &CMainFrame::appHelp, this, &COstinatoApp::OnAppHelp);

  const QStringList arguments = QApplication::arguments().mid(1);
  if (!arguments.isEmpty() && !m_pMainWnd->OpenDocumentFile(arguments.first())) return false;

  m_pMainWnd->show();
  InitHelpPath();
  return true;
}

void COstinatoApp::OnAppAbout() {
  CAboutDlg about(m_pMainWnd.get());
  about.exec();
}

void COstinatoApp::OnAppHelp() {
  if (!m_helpWindow) m_helpWindow = new CHelpWindow(nullptr);
  m_helpWindow->ShowPage(HelpPage(m_strHelpPath));
}

void COstinatoApp::OnAppExit() {
  if (m_pMainWnd) m_pMainWnd->close();
}
