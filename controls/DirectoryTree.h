// The folder tree: the chain of folders from a mount point's root down to
// the current folder, with the current folder's subfolders below it. A
// double-click on a listed subfolder descends into it, one on a folder of
// the chain goes back up to it; either way folderChanged() is emitted.
#pragma once

#include <QIcon>
#include <QTreeWidget>

class CDirectoryTree : public QTreeWidget {
  Q_OBJECT

 public:
  explicit CDirectoryTree(QWidget* parent = nullptr);

  // Rebuilds the tree at the current folder (CDriveCombo::CurrentFolder),
  // after returning to the current folder of m_strDrive when one was shown.
  bool ShowCurrentFolder();
  void AddSubfolders(const QString& path, QTreeWidgetItem* parent);
  void BuildPath(QTreeWidgetItem* item);
  void RemoveChildren(QTreeWidgetItem* item);
  void RemoveSiblings(QTreeWidgetItem* item);
  QString GetPath() const { return m_strPath; }
  void SetImages(const QIcon& folder, const QIcon& chain);

  // Mount point of the folder shown last; empty before the first showing.
  QString m_strDrive;

  // Kind of an item, kept in its data.
  static constexpr int kKindRole = Qt::UserRole + 1;
  enum Kind { Subfolder = 0, Chain = 1 };

 signals:
  void folderChanged();

 public slots:
  void OnDblclk();

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  QTreeWidgetItem* NewItem(const QString& text, Kind kind);

  QString m_strPath;
  QIcon m_folderIcon;
  QIcon m_chainIcon;
};
