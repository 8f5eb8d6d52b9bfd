#include "app/OstinatoView.h"

#include <QDebug>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <cmath>

#include "app/OstinatoDoc.h"
#include "controls/NativePath.h"
#include "controls/ProgressWnd1.h"
#include "controls/Prompt.h"
#include "common/Errors.h"
#include "common/PendingOutput.h"
#include "extract/ExtractionJob.h"

QString COstinatoView::s_strLastSourceName;
QString COstinatoView::s_strLastSourcePath;

namespace {

QString PickSourceFile(QWidget* parent, const QString& initial) {
  return QFileDialog::getOpenFileName(parent, QStringLiteral("Open"), initial,
                                      QStringLiteral("Wave Files(*.wav);;PCM Files(*.pcm);;All Files (*)"));
}

}  // namespace

COstinatoView::COstinatoView(COstinatoDoc* document, QWidget* parent)
    : QWidget(parent), m_pickSource(PickSourceFile), m_extractDlg(this), m_destinationPage(this),
      m_optionsPage(this), m_document(document), m_listCtrl(this) {
  InitListCtrl();
  connect(m_document, &COstinatoDoc::changed, this, &COstinatoView::OnDraw);
  m_playWatch.setInterval(200);
  connect(&m_playWatch, &QTimer::timeout, this, [this] {
    if (m_archiveSound.IsPlaying()) return;
    m_playWatch.stop();
    m_playFolder.reset();
    emit playingChanged(false);
  });
}

void COstinatoView::InitListCtrl() {
  // The 16-pixel drawing is made for the pixel grid; larger sizes scale the main one.
  m_entryIcon.addFile(QStringLiteral(":/icons/ostinato-16.svg"), QSize(16, 16));
  m_entryIcon.addFile(QStringLiteral(":/icons/ostinato.svg"));
  // The list keeps its creation size whatever the window's size.
  m_listCtrl.setGeometry(0, 0, 800, 600);
  m_listCtrl.setRootIsDecorated(false);
  m_listCtrl.setItemsExpandable(false);
  m_listCtrl.setIconSize(QSize(16, 16));
  m_listCtrl.setHeaderLabels({QStringLiteral("Name"), QStringLiteral("Date"), QStringLiteral("Time"),
                              QStringLiteral("Size"), QStringLiteral("Packed"), QStringLiteral("Ratio")});
  m_listCtrl.header()->setSectionsClickable(false);
  m_listCtrl.header()->setSectionsMovable(false);
  m_listCtrl.header()->setStretchLastSection(false);
  m_listCtrl.header()->setDefaultAlignment(Qt::AlignCenter);
  for (int column = 0; column < 6; ++column) m_listCtrl.setColumnWidth(column, 80);
  m_listCtrl.installEventFilter(this);
}

bool COstinatoView::eventFilter(QObject* watched, QEvent* event) {
  if (watched == &m_listCtrl && event->type() == QEvent::FocusIn) OnSetFocus();
  return QWidget::eventFilter(watched, event);
}

QString COstinatoView::DateText(const QDate& date) {
  return QStringLiteral("%1/%2/%3").arg(date.day()).arg(date.month()).arg(date.year());
}

QString COstinatoView::TimeText(const QTime& time) {
  return QStringLiteral("%1:%2").arg(time.hour()).arg(time.minute());
}

QString COstinatoView::RatioText(qint64 size, qint64 packed) {
  if (size == 0) return QStringLiteral("0.00%");
  const double saving = static_cast<double>(size - packed) * 100.0 / static_cast<double>(size);
  QString digits = QString::number(std::fabs(saving), 'f', 2);
  // A saving below 1 is written without the digit before the full stop.
  if (digits.startsWith(QLatin1String("0."))) digits.remove(0, 1);
  const bool negative = saving < 0 && digits != QLatin1String(".00");
  return (negative ? QStringLiteral("-") : QString()) + digits + QLatin1Char('%');
}

QString COstinatoView::OutputName(const QString& archiveName, quint8 firstByte) {
  const QString stem = archiveName.size() >= 4 ? archiveName.left(archiveName.size() - 4) : QString();
  return stem + (firstByte == 1 ? QStringLiteral(".wav") : QStringLiteral(".pcm"));
}

bool COstinatoView::IsExtractEnabled() const { return m_document->m_bArchiveOpen == 1; }

void COstinatoView::SetRow(const QStringList& texts) {
  m_listCtrl.clear();
  auto* item = new QTreeWidgetItem(texts);
  item->setIcon(0, m_entryIcon);
  for (int column = 0; column < 6; ++column) item->setTextAlignment(column, Qt::AlignCenter);
  m_listCtrl.insertTopLevelItem(0, item);
  // The name column is as wide as the others unless the entry's name (with
  // its icon) needs more: a name is never cut short.
  m_listCtrl.resizeColumnToContents(0);
  if (m_listCtrl.columnWidth(0) < 80) m_listCtrl.setColumnWidth(0, 80);
}

void COstinatoView::OnDraw() {
  m_strFileName = m_document->m_strArchiveName;
  m_extractDlg.m_strArchiveName = m_strFileName;
  if (m_document->m_bEntryPending == 1) LoadArchiveEntry();
}

void COstinatoView::LoadArchiveEntry() {
  m_document->m_bEntryPending = 0;
  QFile file(m_document->m_strArchivePath);
  if (!file.open(QIODevice::ReadOnly)) {
    qDebug().noquote() << "File could not be opened " << file.error();
    return;
  }
  char first = 0;
  m_fileType = file.getChar(&first) ? static_cast<quint8>(first) : 0;
  m_strOutputName = OutputName(m_strFileName, m_fileType);
  m_extractDlg.m_szOutputName = m_strOutputName;
  SetRow({m_document->m_strArchiveName});
}

void COstinatoView::OnSetFocus() {
  const bool written = m_optionsPage.m_bArchiveWritten == 1;
  const bool extracted = m_extractDlg.m_bExtracted == 1;
  if (!written && !extracted) return;
  QString audio, archive, name;
  if (written) {
    audio = m_optionsPage.m_strInputPath;
    archive = m_strNewArchivePath;
    name = m_optionsPage.m_strSourceName;
  }
  if (extracted) {
    audio = m_extractDlg.m_strTargetPath;
    archive = m_document->m_strArchivePath;
    name = m_strOutputName;
  }
  m_optionsPage.m_bArchiveWritten = 0;
  m_extractDlg.m_bExtracted = 0;

  QFile audioFile(audio);
  QFile archiveFile(archive);
  for (QFile* file : {&audioFile, &archiveFile}) {
    if (!file->open(QIODevice::ReadOnly)) {
      qDebug().noquote() << "File could not be opened " << file->error();
      return;  // the row is never filled from a file that could not be read
    }
  }
  const QDateTime modified = QFileInfo(audioFile).lastModified().toLocalTime();
  const qint64 size = audioFile.size();
  const qint64 packed = archiveFile.size();
  SetRow({name, DateText(modified.date()), TimeText(modified.time()), QString::number(size),
          QString::number(packed), RatioText(size, packed)});
}

void COstinatoView::OnCompress() {
  const QString initial = s_strLastSourcePath.isEmpty() ? s_strLastSourceName : s_strLastSourcePath;
  const QString picked = m_pickSource ? m_pickSource(this, initial) : QString();
  // A cancelled file dialog changes nothing: the open archive stays open.
  if (picked.isEmpty()) return;
  CompressFile(picked);
}

void COstinatoView::CompressFile(const QString& picked) {
  RunWizard(picked);
  // The keyboard goes back to the main window, whatever window had it last
  // (after a cancel, the progress window's).
  window()->activateWindow();
}

void COstinatoView::RunWizard(const QString& picked) {
  m_optionsPage.m_bFinished = 1;
  m_optionsPage.m_bCancelled = 0;
  QString archiveName;
  {
    const QFileInfo source(picked);
    s_strLastSourceName = source.fileName();
    s_strLastSourcePath = source.absoluteFilePath();
    m_optionsPage.m_strSourceName = s_strLastSourceName;
    m_optionsPage.m_strSourcePath = s_strLastSourcePath;
    m_optionsPage.m_bFinished = 0;
    // The destination page opens in the source's folder.
    CDriveCombo::SetCurrentFolder(source.absolutePath());

    QString archivePath;  // the path the options page's job writes
    for (;;) {
      if (m_destinationPage.exec() != QDialog::Accepted) {
        m_destinationPage.m_strNewName.clear();
        return;
      }
      const QString newName = m_destinationPage.m_strNewName;
      if (newName.isEmpty()) {
        gui::ShowMessage(this, QStringLiteral("Please Enter the New *.otq File Name"));
        continue;
      }
      const QString tail = newName.right(4).toUpper();
      if (tail != QLatin1String(".OTQ") && tail.contains(QLatin1Char('.'))) {
        m_destinationPage.m_strNewName.clear();
        gui::ShowMessage(this, QStringLiteral("The File Name is not *.otq type"));
        continue;
      }
      const QString extension = newName.endsWith(QLatin1String(".otq")) ? QString() : QStringLiteral(".otq");
      const QFileInfo target(m_destinationPage.m_strFolder + newName + extension);
      // A folder in the way is told at once: Yes to "overwrite" could not be done.
      if (const std::optional<ost::Error> refusal = ost::TargetRefusal(gui::ToPath(target.filePath()), true)) {
        m_destinationPage.m_strNewName.clear();
        gui::ShowMessage(this, QString::fromUtf8(refusal->what()), gui::PromptIcon::Stop);
        continue;
      }
      if (target.exists() || target.isSymLink()) {
        const gui::PromptAnswer answer =
            gui::Prompt(this, {QStringLiteral("Warning"),
                               target.fileName() + QStringLiteral(" already exist.\n") +
                                   QStringLiteral("You want to overwrite it?"),
                               gui::PromptIcon::Exclamation, gui::PromptButtons::YesNo});
        if (answer != gui::PromptAnswer::Yes) {
          m_destinationPage.m_strNewName.clear();
          continue;
        }
      }
      m_strNewArchivePath = m_destinationPage.m_strFolder + newName;
      archiveName = newName;
      if (!m_strNewArchivePath.endsWith(QLatin1String(".otq"))) {
        m_strNewArchivePath += QLatin1String(".otq");
        archiveName += QLatin1String(".otq");
      }
      archivePath = m_strNewArchivePath;
      m_destinationPage.m_strNewName.clear();
      m_optionsPage.m_bFinished = 0;
      m_optionsPage.m_pszArchivePath = &archivePath;
      // Shown again after the destination page, the source stays selected.
      m_optionsPage.m_strSourcePath = s_strLastSourcePath;
      const int result = m_optionsPage.exec();
      m_optionsPage.m_pszArchivePath = nullptr;
      if (result != QDialog::Accepted) {
        m_destinationPage.m_strNewName.clear();
        m_optionsPage.m_strSourcePath.clear();
        return;
      }
      if (m_optionsPage.m_bFinished == 1) break;
    }
  }
  // A cancelled job wrote nothing: the title names no archive that does not
  // exist, and the archive that was open stays open.
  if (m_optionsPage.m_bCancelled == 1) return;
  m_document->OnNewDocument();
  m_document->SetTitle(archiveName);
  if (m_optionsPage.m_bArchiveWritten == 1) {
    const qint64 size = QFileInfo(m_optionsPage.m_strInputPath).size();
    const qint64 packed = QFileInfo(m_strNewArchivePath).size();
    emit jobResult(QStringLiteral("%1 written: %2 bytes from %3 bytes of %4, %5 saved, in %6 s")
                       .arg(QFileInfo(m_strNewArchivePath).fileName())
                       .arg(packed)
                       .arg(size)
                       .arg(m_optionsPage.m_strSourceName, RatioText(size, packed))
                       .arg(m_optionsPage.m_nJobMs / 1000.0, 0, 'f', 1));
  }
  OnSetFocus();
}

void COstinatoView::OnExtract() {
  if (!IsExtractEnabled()) return;
  m_strPathName = m_document->m_strArchivePath;
  m_strFileName = m_document->m_strArchiveName;
  const QString archivePath = m_strPathName;
  m_extractDlg.m_pszArchivePath = &archivePath;
  m_extractDlg.m_nArchiveLength = m_document->m_nArchiveLength;
  m_extractDlg.m_strArchiveName = m_strFileName;
  m_extractDlg.m_strTargetPath = m_strPathName.left(m_strPathName.size() - m_strFileName.size());
  m_extractDlg.exec();
  m_extractDlg.m_pszArchivePath = nullptr;
  // The keyboard goes back to the main window, whatever window had it last
  // (after a cancel, the progress window's).
  window()->activateWindow();
  if (m_extractDlg.m_bExtracted == 1) {
    const QFileInfo restored(m_extractDlg.m_strTargetPath);
    emit jobResult(QStringLiteral("%1 restored: %2 bytes from %3, in %4 s")
                       .arg(restored.fileName())
                       .arg(restored.size())
                       .arg(m_strFileName)
                       .arg(m_extractDlg.m_nJobMs / 1000.0, 0, 'f', 1));
  }
  OnSetFocus();
}

void COstinatoView::OnPlayArchive() {
  if (m_archiveSound.IsPlaying()) {
    m_archiveSound.Stop();
    m_playWatch.stop();
    m_playFolder.reset();
    emit playingChanged(false);
    return;
  }
  if (!IsExtractEnabled()) return;
  const QString archive = m_document->m_strArchivePath;
  if (m_fileType != 1) {
    gui::ShowMessage(this, QStringLiteral("%1 holds a recording without a RIFF WAVE header, which cannot be played.")
                               .arg(m_document->m_strArchiveName));
    return;
  }
  // Restored into a private folder of its own, never beside the archive;
  // the folder goes once nothing plays (the sound ended or was stopped, or
  // there is no sound output to play it on): a long recording's copy would
  // otherwise fill the temporary folder until the program ends.
  m_archiveSound.Stop();
  m_strPlayedFile.clear();
  // A job's working folder: held while it plays, so that a program killed
  // meanwhile leaves a folder that the next job removes.
  m_playFolder.reset();
  // Whatever ends this before the sound starts (a cancelled password, a
  // damaged archive, no sound output) takes the folder with it.
  struct ReleaseUnlessPlaying {
    COstinatoView& view;
    ~ReleaseUnlessPlaying() {
      if (!view.m_archiveSound.IsPlaying()) view.m_playFolder.reset();
    }
  } release{*this};
  try {
    m_playFolder = std::make_unique<ost::WorkFolder>();
  } catch (const ost::Error& error) {
    gui::ShowMessage(this, QStringLiteral("No private folder to restore %1 into: %2")
                               .arg(m_document->m_strArchiveName, QString::fromUtf8(error.what())),
                     gui::PromptIcon::Stop);
    return;
  }
  const QString restored = QFile::decodeName(QByteArray::fromStdString(m_playFolder->path().string())) +
                           QLatin1Char('/') + (m_strOutputName.isEmpty() ? QStringLiteral("play.wav") : m_strOutputName);
  ost::ExtractionOptions options;
  options.archive = gui::ToPath(archive);
  options.target = gui::ToPath(restored);
  ost::ExtractionResult result;
  try {
    CProgressWnd progress;
    progress.CreateWhenBegun(window());  // shown when the job begins
    m_extractDlg.m_strArchiveName = m_document->m_strArchiveName;
    result = ost::ExtractionJob(options, progress, &m_extractDlg).Run();
  } catch (const ost::Error& error) {
    gui::ShowMessage(this, QString::fromUtf8(error.what()), gui::PromptIcon::Stop,
                     error.kind() == ost::ErrorKind::WrongPassword ? QStringLiteral("Wrong Password!")
                                                                   : QString::fromLatin1(gui::kAppTitle));
    return;
  } catch (const std::exception& error) {
    gui::ShowMessage(this, QString::fromUtf8(error.what()), gui::PromptIcon::Stop);
    return;
  }
  window()->activateWindow();
  if (result.cancelled) return;
  m_strPlayedFile = restored;
  // Without a sound output nothing plays, quietly, as with the play button.
  if (m_archiveSound.PlayFile(restored)) {
    m_playWatch.start();
    emit playingChanged(true);
  }
}
