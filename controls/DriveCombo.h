// The drive combo: lists the mounted volumes (the root of each mount point
// and its label). It also keeps, for the dialogs that choose folders, the
// folder a new dialog opens in (the "current folder") and a current folder
// per mount point, so that choosing a mount point returns to the folder
// last used there. The process's own working folder is never changed.
#pragma once

#include <QComboBox>
#include <QHash>

class CDriveCombo : public QComboBox {
  Q_OBJECT

 public:
  explicit CDriveCombo(QWidget* parent = nullptr);

  // Lists the mount points and selects the one of the current folder.
  bool FillDrives();
  // Whether the entry's mount point can be listed; says so when not.
  bool IsDriveReady(int index);
  // Selects the entry of `drive`, if there is one.
  void SelectDrive(const QString& drive);
  QString DriveAt(int index) const;

  // The mount points, "/" always among them.
  static QStringList Drives();
  // The mount point that holds `path`.
  static QString DriveOf(const QString& path);
  static QString CurrentFolder();
  // Makes `folder` the current folder, and the current folder of its drive.
  static void SetCurrentFolder(const QString& folder);
  // Makes the current folder of `drive` (its root at first) the current folder.
  static void ChangeToDrive(const QString& drive);
  // Forgets every folder remembered (tests start from a known state).
  static void ResetFolders(const QString& current);
};
