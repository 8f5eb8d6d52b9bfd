// The view: the six-column list ("Name", "Date", "Time", "Size", "Packed",
// "Ratio") with at most one row, and the Compress and Extract commands with
// the three dialogs they run. The row shows the archive just opened, or the
// source and archive of the compression just done, or the file just
// restored.
#pragma once

#include <QDateTime>
#include <QTimer>
#include <memory>
#include <QTreeWidget>
#include <QWidget>
#include <functional>

#include "common/WorkFolder.h"
#include "controls/Compress1Dlg.h"
#include "controls/CompressDlg.h"
#include "controls/ExtractDlg.h"
#include "controls/WaveSound.h"

class COstinatoDoc;

class COstinatoView : public QWidget {
  Q_OBJECT

 public:
  COstinatoView(COstinatoDoc* document, QWidget* parent = nullptr);

  COstinatoDoc* GetDocument() const { return m_document; }

  // The file dialog of the Compress command: gets the initial path, returns
  // the chosen file or an empty text. Tests put a stand-in here.
  std::function<QString(QWidget* parent, const QString& initial)> m_pickSource;

  // The texts of the row.
  static QString DateText(const QDate& date);
  static QString TimeText(const QTime& time);
  static QString RatioText(qint64 size, qint64 packed);
  // The archive's name with its last four characters replaced by ".wav"
  // when its first byte is 1, else ".pcm".
  static QString OutputName(const QString& archiveName, quint8 firstByte);

  QTreeWidget& List() { return m_listCtrl; }
  // The restored file that Play plays (in a private folder, gone once nothing
  // plays), and whether it plays.
  QString PlayedFile() const { return m_strPlayedFile; }
  bool IsPlayingArchive() const { return m_archiveSound.IsPlaying(); }
  bool IsExtractEnabled() const;

  QString m_strFileName;
  QString m_strPathName;
  QString m_strOutputName;
  CExtractDlg m_extractDlg;
  CCompressDlg m_destinationPage;
  CCompress1Dlg m_optionsPage;
  QString m_strNewArchivePath;
  quint8 m_fileType = 0;

  static QString s_strLastSourceName;
  static QString s_strLastSourcePath;

 signals:
  // Play started or ended.
  void playingChanged(bool playing);
  // What a job just did, for the status bar: what was written, its size,
  // the saving and the time taken.
  void jobResult(const QString& text);

 public slots:
  void OnCompress();
  // The wizard from the destination page on, with `source` as the recording.
  void CompressFile(const QString& source);
  void OnExtract();
  // Restores the open archive into a private folder and plays it; while it
  // plays, stops it.
  void OnPlayArchive();
  // Called when the document changed: shows a freshly opened archive's row.
  void OnDraw();
  // Fills the row after a compression or an extraction.
  void OnSetFocus();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void RunWizard(const QString& source);
  void InitListCtrl();
  void LoadArchiveEntry();
  void SetRow(const QStringList& texts);

  COstinatoDoc* m_document;
  QTreeWidget m_listCtrl;
  CWaveSound m_archiveSound;
  std::unique_ptr<ost::WorkFolder> m_playFolder;
  QString m_strPlayedFile;
  QTimer m_playWatch;  // notices the end of the sound
  QIcon m_entryIcon;
};
