// The document: the archive opened with File > Open (or the command line
// or the recent-file list). Opening reads nothing of the archive's content;
// it records where the archive is and how long it is.
#pragma once

#include <QObject>
#include <QString>

class COstinatoDoc : public QObject {
  Q_OBJECT

 public:
  explicit COstinatoDoc(QObject* parent = nullptr);

  // An empty document: no archive open, Extract disabled.
  bool OnNewDocument();
  // Makes the archive at `path` the document; false (and `error` set) when
  // it cannot be opened for reading or its head shows it is no archive or a
  // damaged one. Nothing else of its content is read.
  bool OnOpenDocument(const QString& path, QString* error = nullptr);
  void SetTitle(const QString& title);
  QString GetTitle() const { return m_strTitle; }

  QString m_strArchivePath;
  QString m_strArchiveName;
  quint64 m_nArchiveLength = 0;
  int m_bArchiveOpen = 0;
  int m_bEntryPending = 0;

 signals:
  // The archive, the flags or the title changed.
  void changed();

 private:
  QString m_strTitle;
};
