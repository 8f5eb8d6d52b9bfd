#include "app/OstinatoDoc.h"

#include <QFile>
#include <QFileInfo>

#include "controls/NativePath.h"
#include "extract/ArchiveReader.h"

COstinatoDoc::COstinatoDoc(QObject* parent) : QObject(parent) {}

bool COstinatoDoc::OnNewDocument() {
  m_bArchiveOpen = 0;
  m_bEntryPending = 0;
  m_strTitle = QStringLiteral("Untitled");
  emit changed();
  return true;
}

bool COstinatoDoc::OnOpenDocument(const QString& path, QString* error) {
  QFile file(path);
  const QFileInfo info(path);
  if (info.isDir() || !file.open(QIODevice::ReadOnly)) {
    if (error) *error = info.isDir() ? QStringLiteral("it is a folder") : file.errorString();
    return false;
  }
  // The head and the stream lengths are checked now, so that a file that is
  // no archive, or a damaged one, is refused when it is opened.
  try {
    ost::ReadArchiveInfo(gui::ToPath(info.absoluteFilePath()));
  } catch (const std::exception& failure) {
    if (error) *error = QString::fromUtf8(failure.what());
    return false;
  }
  m_strArchivePath = info.absoluteFilePath();
  m_strArchiveName = info.fileName();
  m_nArchiveLength = static_cast<quint64>(file.size());
  m_bArchiveOpen = 1;
  m_bEntryPending = 1;
  m_strTitle = m_strArchiveName;
  emit changed();
  return true;
}

void COstinatoDoc::SetTitle(const QString& title) {
  m_strTitle = title;
  emit changed();
}
