// The main window: menu, tool bar, status bar and the archive list view.
// It starts 250 pixels high, W / 1.65 wide and centred on the screen, and
// shows the title picture once before it is first shown.
#pragma once

#include <QMainWindow>
#include <functional>

class QAction;
class QMenu;
class QMimeData;
class COstinatoDoc;
class COstinatoView;

class CMainFrame : public QMainWindow {
  Q_OBJECT

 public:
  explicit CMainFrame(bool showPicture = true, QWidget* parent = nullptr);
  ~CMainFrame() override;

  // Size and place of the window for a screen of the given size.
  static QRect InitialGeometry(const QSize& screen);

  COstinatoDoc* Document() const { return m_document; }
  COstinatoView* View() const { return m_view; }

  // Opens an archive as the document; reports a failure in a message box.
  bool OpenDocumentFile(const QString& path);
  QStringList RecentFiles() const;
  // The one ".otq", ".wav" or ".pcm" file that `data` carries, else empty.
  static QString DroppedFile(const QMimeData* data);

  // The file dialog of File > Open; tests put a stand-in here.
  std::function<QString(QWidget* parent, const QString& folder)> m_pickArchive;

  QAction* m_actOpen = nullptr;
  QAction* m_actExit = nullptr;
  QAction* m_actCompress = nullptr;
  QAction* m_actExtract = nullptr;
  QAction* m_actPlay = nullptr;
  QAction* m_actToolbar = nullptr;
  QAction* m_actStatusBar = nullptr;
  QAction* m_actHelp = nullptr;
  QAction* m_actAbout = nullptr;

 signals:
  void appAbout();
  void appHelp();

 public slots:
  void OnFileOpen();
  void OnUpdateFrame();

 protected:
  // An archive dropped on the window opens; a recording dropped starts the
  // compression wizard with it as the source.
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  // Keeps the window's size, the column widths and the folders used last
  // for the next run.
  void closeEvent(QCloseEvent* event) override;

 private:
  void PreCreateWindow();
  void RestoreState();
  void SaveState();
  void OnCreate(bool showPicture);
  void AddRecentFile(const QString& path);
  void RemoveRecentFile(const QString& path);
  void SaveRecentFiles(const QStringList& files);
  void UpdateRecentMenu();

  COstinatoDoc* m_document;
  COstinatoView* m_view;
  QMenu* m_fileMenu = nullptr;
  QList<QAction*> m_recentActions;
  QAction* m_recentSeparator = nullptr;
  QString m_strIdleText = QStringLiteral("Ready");
  QString m_strArchiveFolder;  // folder of the archive opened last
};
