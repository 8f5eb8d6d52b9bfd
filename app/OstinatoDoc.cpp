#include "app/OstinatoDoc.h"

#include <QFile>
#include <QFileInfo>

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
