#include "app/MainFrm.h"

#include <QAction>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QMimeData>
#include <QTimer>
#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QMenuBar>
#include <QScreen>
#include <QStatusBar>
#include <QToolBar>

#include "app/OstinatoDoc.h"
#include "app/OstinatoView.h"
#include "controls/DriveCombo.h"
#include "controls/ProgressWnd1.h"
#include "controls/Prompt.h"
#include "controls/Settings.h"
#include "controls/TestDialog.h"

namespace {

constexpr int kRecentFiles = 4;

QString PickArchive(QWidget* parent, const QString& folder) {
  return QFileDialog::getOpenFileName(parent, QStringLiteral("Open"), folder,
                                      QStringLiteral("OTQ Files (*.otq);;All Files (*)"));
}

// A command's prompt for the status bar and its tool tip, from one text:
// the prompt before the line feed, the tip after it.
void SetPrompt(QAction* action, const QString& text) {
  const QStringList parts = text.split(QLatin1Char('\n'));
  action->setStatusTip(parts.value(0));
  if (parts.size() > 1) action->setToolTip(parts.value(1));
}

}  // namespace

QRect CMainFrame::InitialGeometry(const QSize& screen) {
  const int height = 250;
  const int width = static_cast<int>(screen.width() * 0.6060606060606061);
  return QRect((screen.width() - width) / 2, (screen.height() - height) / 2, width, height);
}

CMainFrame::CMainFrame(bool showPicture, QWidget* parent)
    : QMainWindow(parent), m_pickArchive(PickArchive) {
  PreCreateWindow();
  m_document = new COstinatoDoc(this);
  m_view = new COstinatoView(m_document, this);
  setCentralWidget(m_view);
  connect(m_document, &COstinatoDoc::changed, this, &CMainFrame::OnUpdateFrame);
  OnCreate(showPicture);
  RestoreState();
  setAcceptDrops(true);
  m_document->OnNewDocument();
  CProgressWnd::SetMainWindow(this);
}

CMainFrame::~CMainFrame() {
  if (CProgressWnd::MainWindow() == this) CProgressWnd::SetMainWindow(nullptr);
}

void CMainFrame::PreCreateWindow() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  const QRect frame = InitialGeometry(screen ? screen->size() : QSize(1024, 768));
  resize(frame.size());
  move(frame.topLeft());
}

void CMainFrame::OnCreate(bool showPicture) {
  setWindowIcon(QIcon(QStringLiteral(":/icons/ostinato.svg")));

  m_actOpen = new QAction(QIcon(QStringLiteral(":/toolbar/open.svg")), QStringLiteral("&Open..."), this);
  m_actOpen->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
  SetPrompt(m_actOpen, QStringLiteral("Open an existing *.otq file\nOpen"));
  m_actExit = new QAction(QStringLiteral("E&xit"), this);
  SetPrompt(m_actExit, QStringLiteral("Quit the application\nExit"));
  m_actCompress = new QAction(QIcon(QStringLiteral(":/toolbar/compress.svg")), QStringLiteral("&Compress"), this);
  m_actCompress->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_N));
  SetPrompt(m_actCompress, QStringLiteral("Compress *.pcm file\nCompress"));
  m_actExtract = new QAction(QIcon(QStringLiteral(":/toolbar/extract.svg")), QStringLiteral("&Extract"), this);
  m_actExtract->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_E));
  SetPrompt(m_actExtract, QStringLiteral("Extract the *.otq file\nExtract"));
  m_actPlay = new QAction(QStringLiteral("&Play"), this);
  m_actPlay->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
  SetPrompt(m_actPlay, QStringLiteral("Listen to the recording in the *.otq file\nPlay"));
  m_actAbout = new QAction(QIcon(QStringLiteral(":/toolbar/about.svg")), QStringLiteral("&About Ostinato..."), this);
  SetPrompt(m_actAbout, QStringLiteral("Display program information, version number and credits\nAbout"));
  m_actHelp = new QAction(QStringLiteral("&Help Ostinato"), this);
  m_actHelp->setShortcut(QKeySequence::HelpContents);  // F1, as everywhere
  SetPrompt(m_actHelp, QStringLiteral("Show the help of Ostinato\nHelp"));

  m_fileMenu = menuBar()->addMenu(QStringLiteral("&File"));
  m_fileMenu->setToolTipsVisible(true);  // the whole path of a shortened recent file
  m_fileMenu->addAction(m_actOpen);
  m_recentSeparator = m_fileMenu->addSeparator();
  for (int i = 0; i < kRecentFiles; ++i) {
    auto* action = new QAction(this);
    action->setVisible(false);
    connect(action, &QAction::triggered, this, [this, action] { OpenDocumentFile(action->data().toString()); });
    m_fileMenu->addAction(action);
    m_recentActions << action;
  }
  m_fileMenu->addSeparator();
  m_fileMenu->addAction(m_actExit);
  QMenu* action = menuBar()->addMenu(QStringLiteral("&Action"));
  action->addAction(m_actCompress);
  action->addAction(m_actExtract);
  action->addSeparator();
  action->addAction(m_actPlay);
  QMenu* view = menuBar()->addMenu(QStringLiteral("&View"));
  QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
  help->addAction(m_actHelp);
  help->addAction(m_actAbout);

  auto* toolBar = new QToolBar(QStringLiteral("Toolbar"), this);
  toolBar->setObjectName(QStringLiteral("toolbar"));
  toolBar->setMovable(false);
  toolBar->setFloatable(false);
  toolBar->setIconSize(QSize(64, 56));
  toolBar->setToolButtonStyle(Qt::ToolButtonIconOnly);
  toolBar->toggleViewAction()->setVisible(false);
  toolBar->addAction(m_actOpen);
  toolBar->addAction(m_actExtract);
  toolBar->addAction(m_actCompress);
  toolBar->addSeparator();
  toolBar->addAction(m_actAbout);
  addToolBar(Qt::TopToolBarArea, toolBar);
  setContextMenuPolicy(Qt::NoContextMenu);

  m_actToolbar = new QAction(QStringLiteral("&Toolbar"), this);
  m_actToolbar->setCheckable(true);
  m_actToolbar->setChecked(true);
  SetPrompt(m_actToolbar, QStringLiteral("Show or hide the toolbar\nToggle ToolBar"));
  connect(m_actToolbar, &QAction::toggled, toolBar, &QToolBar::setVisible);
  m_actStatusBar = new QAction(QStringLiteral("&Status Bar"), this);
  m_actStatusBar->setCheckable(true);
  m_actStatusBar->setChecked(true);
  SetPrompt(m_actStatusBar, QStringLiteral("Show or hide the status bar\nToggle StatusBar"));
  connect(m_actStatusBar, &QAction::toggled, statusBar(), &QStatusBar::setVisible);
  view->addAction(m_actToolbar);
  view->addAction(m_actStatusBar);

  // The message pane shows "Ready", or the result of the last job, whenever
  // no prompt is shown.
  QStatusBar* status = statusBar();
  connect(status, &QStatusBar::messageChanged, status, [this, status](const QString& text) {
    if (text.isEmpty()) status->showMessage(m_strIdleText);
  });
  status->showMessage(m_strIdleText);
  connect(m_view, &COstinatoView::jobResult, this, [this, status](const QString& text) {
    m_strIdleText = text;
    status->showMessage(text);
  });

  connect(m_actOpen, &QAction::triggered, this, &CMainFrame::OnFileOpen);
  connect(m_actExit, &QAction::triggered, this, &CMainFrame::close);
  connect(m_actCompress, &QAction::triggered, m_view, &COstinatoView::OnCompress);
  connect(m_actExtract, &QAction::triggered, m_view, &COstinatoView::OnExtract);
  connect(m_actPlay, &QAction::triggered, m_view, &COstinatoView::OnPlayArchive);
  connect(m_view, &COstinatoView::playingChanged, this, [this](bool playing) {
    m_actPlay->setText(playing ? QStringLiteral("S&top") : QStringLiteral("&Play"));
    OnUpdateFrame();
  });
  connect(m_actAbout, &QAction::triggered, this, &CMainFrame::appAbout);
  connect(m_actHelp, &QAction::triggered, this, &CMainFrame::appHelp);
  UpdateRecentMenu();

  if (showPicture) {
    CTestDialog picture(this);
    picture.exec();
  }
}

void CMainFrame::OnUpdateFrame() {
  const QString title = m_document->GetTitle();
  setWindowTitle(title.isEmpty() ? QStringLiteral("Ostinato") : title + QStringLiteral(" - Ostinato"));
  m_actExtract->setEnabled(m_view->IsExtractEnabled());
  m_actPlay->setEnabled(m_view->IsExtractEnabled() || m_view->IsPlayingArchive());
}

void CMainFrame::RestoreState() {
  // What the last run left: the window's size (kept only when it fits the
  // screen), the list's column widths, and the folders used last.
  QSettings settings = gui::AppSettings();
  const QSize size = settings.value(QStringLiteral("Window/Size")).toSize();
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (size.isValid() && (!screen || screen->availableGeometry().size().expandedTo(size) == screen->availableGeometry().size()))
    resize(size);
  const QList<QVariant> widths = settings.value(QStringLiteral("Window/Columns")).toList();
  for (int column = 0; column < widths.size() && column < 6; ++column)
    if (const int width = widths[column].toInt(); width > 0) m_view->List().setColumnWidth(column, width);
  m_strArchiveFolder = settings.value(QStringLiteral("Folders/Archive")).toString();
  const QString source = settings.value(QStringLiteral("Folders/Source")).toString();
  if (COstinatoView::s_strLastSourcePath.isEmpty() && !source.isEmpty()) {
    COstinatoView::s_strLastSourcePath = source;
    COstinatoView::s_strLastSourceName = QFileInfo(source).fileName();
  }
}

void CMainFrame::SaveState() {
  QSettings settings = gui::AppSettings();
  settings.setValue(QStringLiteral("Window/Size"), size());
  QList<QVariant> widths;
  for (int column = 0; column < 6; ++column) widths << m_view->List().columnWidth(column);
  settings.setValue(QStringLiteral("Window/Columns"), widths);
  if (!m_strArchiveFolder.isEmpty()) settings.setValue(QStringLiteral("Folders/Archive"), m_strArchiveFolder);
  if (!COstinatoView::s_strLastSourcePath.isEmpty())
    settings.setValue(QStringLiteral("Folders/Source"), COstinatoView::s_strLastSourcePath);
}

void CMainFrame::closeEvent(QCloseEvent* event) {
  SaveState();
  QMainWindow::closeEvent(event);
}

void CMainFrame::OnFileOpen() {
  const QString folder = m_strArchiveFolder.isEmpty() ? CDriveCombo::CurrentFolder() : m_strArchiveFolder;
  const QString path = m_pickArchive ? m_pickArchive(this, folder) : QString();
  if (!path.isEmpty()) OpenDocumentFile(path);
}

bool CMainFrame::OpenDocumentFile(const QString& path) {
  QString error;
  if (!m_document->OnOpenDocument(path, &error)) {
    gui::ShowMessage(this, QStringLiteral("Cannot open %1: %2").arg(QDir::toNativeSeparators(path), error),
                     gui::PromptIcon::Exclamation);
    RemoveRecentFile(QFileInfo(path).absoluteFilePath());
    return false;
  }
  AddRecentFile(m_document->m_strArchivePath);
  m_strArchiveFolder = QFileInfo(m_document->m_strArchivePath).absolutePath();
  // The extract dialog opens in the archive's folder.
  CDriveCombo::SetCurrentFolder(QFileInfo(m_document->m_strArchivePath).absolutePath());
  return true;
}

QString CMainFrame::DroppedFile(const QMimeData* data) {
  if (!data || !data->hasUrls() || data->urls().size() != 1 || !data->urls().first().isLocalFile()) return QString();
  const QString path = data->urls().first().toLocalFile();
  const QString suffix = QFileInfo(path).suffix().toLower();
  if (!QFileInfo(path).isFile()) return QString();
  return suffix == QLatin1String("otq") || suffix == QLatin1String("wav") || suffix == QLatin1String("pcm") ? path
                                                                                                              : QString();
}

void CMainFrame::dragEnterEvent(QDragEnterEvent* event) {
  if (isEnabled() && !DroppedFile(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void CMainFrame::dragMoveEvent(QDragMoveEvent* event) {
  if (isEnabled() && !DroppedFile(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void CMainFrame::dropEvent(QDropEvent* event) {
  const QString path = DroppedFile(event->mimeData());
  if (path.isEmpty() || !isEnabled()) return;
  event->acceptProposedAction();
  // The drop ends first: the source's drag must not wait for the dialogs.
  QTimer::singleShot(0, this, [this, path] {
    activateWindow();
    if (QFileInfo(path).suffix().toLower() == QLatin1String("otq"))
      OpenDocumentFile(path);
    else
      m_view->CompressFile(path);
  });
}

QStringList CMainFrame::RecentFiles() const {
  QSettings settings = gui::AppSettings();
  QStringList files;
  for (int i = 1; i <= kRecentFiles; ++i) {
    const QString file = settings.value(QStringLiteral("Recent File List/File%1").arg(i)).toString();
    if (!file.isEmpty()) files << file;
  }
  return files;
}

void CMainFrame::SaveRecentFiles(const QStringList& files) {
  QSettings settings = gui::AppSettings();
  settings.remove(QStringLiteral("Recent File List"));
  for (int i = 0; i < files.size() && i < kRecentFiles; ++i)
    settings.setValue(QStringLiteral("Recent File List/File%1").arg(i + 1), files[i]);
  UpdateRecentMenu();
}

void CMainFrame::AddRecentFile(const QString& path) {
  QStringList files = RecentFiles();
  files.removeAll(path);
  files.prepend(path);
  SaveRecentFiles(files.mid(0, kRecentFiles));
}

void CMainFrame::RemoveRecentFile(const QString& path) {
  QStringList files = RecentFiles();
  if (files.removeAll(path) > 0) SaveRecentFiles(files);
}

void CMainFrame::UpdateRecentMenu() {
  const QStringList files = RecentFiles();
  for (int i = 0; i < kRecentFiles; ++i) {
    QAction* action = m_recentActions[i];
    if (i < files.size()) {
      // A long path is shortened in its middle, the file's name kept whole
      // where it fits: the menu stays narrower than a screen and the
      // entries can be told apart. The whole path is the entry's tip.
      const QFontMetrics metrics = m_fileMenu->fontMetrics();
      const int room = 60 * metrics.averageCharWidth();
      const QString path = QDir::toNativeSeparators(files[i]);
      const QString name = QFileInfo(files[i]).fileName();
      QString shown = path;
      if (metrics.horizontalAdvance(path) > room) {
        const int nameWidth = metrics.horizontalAdvance(name);
        if (nameWidth < room * 2 / 3) {
          const QString folder = path.left(path.size() - name.size());
          shown = metrics.elidedText(folder, Qt::ElideMiddle, room - nameWidth) + name;
        } else {
          shown = metrics.elidedText(path, Qt::ElideMiddle, room);
        }
      }
      shown.replace(QLatin1Char('&'), QLatin1String("&&"));
      action->setText(QStringLiteral("&%1 %2").arg(i + 1).arg(shown));
      action->setToolTip(path);
      action->setData(files[i]);
      action->setStatusTip(QStringLiteral("Open this document"));
      action->setVisible(true);
    } else {
      action->setVisible(false);
    }
  }
  m_recentSeparator->setVisible(!files.isEmpty());
}
