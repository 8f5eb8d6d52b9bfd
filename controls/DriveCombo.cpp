#include "controls/DriveCombo.h"

#include <QDir>
#include <QFileInfo>
#include <QStorageInfo>

#include "controls/Prompt.h"

namespace {

struct Folders {
  QString current = QDir::currentPath();
  QHash<QString, QString> perDrive;
};

Folders& State() {
  static Folders folders;
  return folders;
}

}  // namespace

CDriveCombo::CDriveCombo(QWidget* parent) : QComboBox(parent) {}

QStringList CDriveCombo::Drives() {
  QStringList drives;
  for (const QStorageInfo& volume : QStorageInfo::mountedVolumes()) {
    if (!volume.isValid() || !QFileInfo(volume.rootPath()).isDir()) continue;
    if (!drives.contains(volume.rootPath())) drives << volume.rootPath();
  }
  if (!drives.contains(QStringLiteral("/"))) drives << QStringLiteral("/");
  drives.sort();
  return drives;
}

QString CDriveCombo::DriveOf(const QString& path) {
  const QString clean = QDir::cleanPath(QDir(path).absolutePath());
  QString best = QStringLiteral("/");
  for (const QString& drive : Drives()) {
    const bool inside = clean == drive || drive == QLatin1String("/") || clean.startsWith(drive + QLatin1Char('/'));
    if (inside && drive.size() > best.size()) best = drive;
  }
  return best;
}

QString CDriveCombo::CurrentFolder() { return State().current; }

void CDriveCombo::SetCurrentFolder(const QString& folder) {
  const QString clean = QDir::cleanPath(QDir(folder).absolutePath());
  State().current = clean;
  State().perDrive.insert(DriveOf(clean), clean);
}

void CDriveCombo::ChangeToDrive(const QString& drive) {
  State().current = State().perDrive.value(drive, drive);
}

void CDriveCombo::ResetFolders(const QString& current) {
  State().perDrive.clear();
  SetCurrentFolder(current);
}

bool CDriveCombo::FillDrives() {
  clear();
  const QList<QStorageInfo> volumes = QStorageInfo::mountedVolumes();
  for (const QString& drive : Drives()) {
    QString text = drive + QLatin1Char(' ');
    for (const QStorageInfo& volume : volumes) {
      if (volume.rootPath() == drive && !volume.name().isEmpty()) {
        text += volume.name();
        break;
      }
    }
    addItem(text, drive);  // the list is sorted by mount point
  }
  SelectDrive(DriveOf(CurrentFolder()));
  return count() > 0;
}

QString CDriveCombo::DriveAt(int index) const { return itemData(index).toString(); }

bool CDriveCombo::IsDriveReady(int index) {
  const QString drive = DriveAt(index);
  const QDir root(drive);
  if (drive.isEmpty() || !root.exists() || !root.isReadable() || !QStorageInfo(drive).isReady()) {
    gui::ShowMessage(this, QStringLiteral("Drive %1: is not ready.").arg(drive), gui::PromptIcon::Exclamation,
                     QStringLiteral("Error"));
    return false;
  }
  return true;
}

void CDriveCombo::SelectDrive(const QString& drive) {
  const int index = findData(drive);
  if (index >= 0) setCurrentIndex(index);
}
