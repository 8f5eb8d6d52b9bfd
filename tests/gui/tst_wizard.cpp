// The Compress and Extract commands driven through the real dialogs, with
// stand-ins for the jobs: the wizard's states, the name checks, the
// overwrite question, the job's failures and cancel, the password hand-over,
// the row of the list and the Extract command's state.
#include <QtTest>

#include <csignal>

#include <QAudioDevice>
#include <QComboBox>
#include <QMediaDevices>
#include <QMimeData>
#include <QLineEdit>
#include <QMenuBar>
#include <QRadioButton>
#include <QStatusBar>
#include <QToolBar>

#include "GuiTestSupport.h"
#include "app/MainFrm.h"
#include "app/OstinatoDoc.h"
#include "app/OstinatoView.h"
#include "common/Errors.h"
#include "common/Leftovers.h"
#include "compress/CompressionJob.h"
#include "controls/DriveCombo.h"
#include "controls/ProgressWnd1.h"
#include "controls/Settings.h"
#include "controls/StopSignals.h"

namespace {

QString RowText(COstinatoView* view) {
  QTreeWidget& list = view->List();
  if (list.topLevelItemCount() == 0) return QString();
  QStringList texts;
  for (int column = 0; column < 6; ++column) texts << list.topLevelItem(0)->text(column);
  return texts.join('|');
}

void SetModified(const QString& path, const QDateTime& when) {
  QFile file(path);
  QVERIFY(file.open(QIODevice::ReadWrite));
  QVERIFY(file.setFileTime(when, QFileDevice::FileModificationTime));
}

QByteArray ReadFile(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A real archive of a short recording (a ".wav" with its header, or a
// headerless ".pcm"), made by the core: the program checks what it opens.
QString MakeArchive(const ScratchFolder& scratch, const QString& name, bool wave = true,
                    std::optional<std::string> password = std::nullopt) {
  const QString source = scratch.Write(name + (wave ? ".src.wav" : ".src.pcm"), wave ? MakeWave(1, 500) : MakePcm(500));
  ost::CompressionOptions options;
  options.source = source.toStdString();
  options.archive = scratch.File(name).toStdString();
  options.rate = ost::Rate::Fastest;
  options.password = std::move(password);
  ost::NullProgress quiet;
  struct : ost::ChannelQuestion {
    std::optional<ost::ChannelLayout> AskChannels(const std::filesystem::path&) override {
      return ost::ChannelLayout::Mono;
    }
  } mono;
  ost::CompressionJob(options, quiet, mono).Run();
  QFile::remove(source);
  return scratch.File(name);
}

}  // namespace

class WizardTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void init();
  void cleanup();

  void fileDialogCancelled();
  void destinationCancelled();
  void nameChecks_data();
  void nameChecks();
  void nameRejectedThenAccepted();
  void overwriteQuestion();
  void aFolderInTheWayIsToldNotAsked();
  void compressionFillsRow();
  void compressionCancelled();
  void jobFailures_data();
  void jobFailures();
  void otherErrorKeepsPageOpen();
  void unknownRateRefused();
  void extremeRateOffered();
  void passwordHandOver();
  void longSourcePathElided();
  void optionsEnterReturnsToDestination();
  void jobDisablesItsPage();
  void progressWindowsAreShownOnce();
  void channelQuestion();
  void noticesShownAfterSuccess();
  void viewToggles();
  void droppedFiles();

  void openShowsEntry();
  void openRefusesWhatIsNoArchive();
  void extractFillsRow();
  void extractWrongPassword();
  void extractCancelled();
  void extractDamagedKeepsDialog();
  void recentFiles();
  void rememberedAcrossRuns();
  void playArchive();
  void playAsksForThePasswordOverTheWindow();
  void aPlayThatEndsBeforeTheSoundLeavesNoFolder();
  // Last: the program is quitting after it.
  void stopSignalCancelsTheRunningJob();

 private:
  // Runs the Compress command with `source` picked and the given script.
  void Compress(const QString& source);
  void UseFakeCompression();

  QTemporaryDir m_settingsDir;
  std::unique_ptr<ScratchFolder> m_scratch;
  std::unique_ptr<CMainFrame> m_frame;
  std::unique_ptr<PromptRecorder> m_prompts;
  std::unique_ptr<DialogScript> m_script;
  COstinatoView* m_view = nullptr;
  CCompress1Dlg* m_options = nullptr;
  CExtractDlg* m_extract = nullptr;
  QList<ost::CompressionOptions> m_jobs;
  std::function<ost::CompressionResult(const ost::CompressionOptions&, ost::JobProgress&, ost::ChannelQuestion&)>
      m_behaviour;
};

void WizardTest::initTestCase() {
  QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_settingsDir.path());
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_settingsDir.path());
}

void WizardTest::init() {
  gui::AppSettings().clear();
  m_scratch = std::make_unique<ScratchFolder>();
  m_frame = std::make_unique<CMainFrame>(false);
  m_frame->show();
  m_view = m_frame->View();
  m_options = &m_view->m_optionsPage;
  m_extract = &m_view->m_extractDlg;
  m_prompts = std::make_unique<PromptRecorder>();
  m_script = std::make_unique<DialogScript>();
  m_jobs.clear();
  COstinatoView::s_strLastSourceName.clear();
  COstinatoView::s_strLastSourcePath.clear();
  UseFakeCompression();
}

void WizardTest::cleanup() {
  QVERIFY2(m_script->failures.isEmpty(), qPrintable(m_script->failures.join("; ")));
  QVERIFY2(m_script->Done(), "every scripted dialog was shown");
  m_script.reset();
  m_prompts.reset();
  m_frame.reset();
  m_scratch.reset();
}

// By default the stand-in job writes a 600-byte archive in three steps.
void WizardTest::UseFakeCompression() {
  m_behaviour = [](const ost::CompressionOptions& options, ost::JobProgress& progress, ost::ChannelQuestion&) {
    progress.Begin("Ostinato 3 is compressing your file\n\nPlease wait......", 3);
    for (int i = 0; i < 3; ++i) progress.Step();
    progress.End();
    QFile archive(QString::fromStdString(options.archive.string()));
    archive.open(QIODevice::WriteOnly);
    archive.write(QByteArray(600, 'a'));
    ost::CompressionResult result;
    result.archiveSize = 600;
    return result;
  };
  m_options->m_runJob = [this](const ost::CompressionOptions& options, ost::JobProgress& progress,
                               ost::ChannelQuestion& channels) {
    m_jobs << options;
    return m_behaviour(options, progress, channels);
  };
}

void WizardTest::Compress(const QString& source) {
  m_view->m_pickSource = [source](QWidget*, const QString&) { return source; };
  m_view->OnCompress();
}

static void TypeName(QDialog* page, const QString& name) {
  auto* destination = static_cast<CCompressDlg*>(page);
  destination->NameEdit()->setText(name);
  destination->NewButton()->click();
}

void WizardTest::fileDialogCancelled() {
  const QString archive = MakeArchive(*m_scratch, "old.otq");
  QVERIFY(m_frame->OpenDocumentFile(archive));
  QVERIFY(m_frame->m_actExtract->isEnabled());
  Compress(QString());
  // Nothing was asked for: the open archive stays open.
  QCOMPARE(RowText(m_view), QString("old.otq|||||"));
  QVERIFY(m_frame->m_actExtract->isEnabled());
  QCOMPARE(m_frame->windowTitle(), QString("old.otq - Ostinato"));
  QVERIFY(m_jobs.isEmpty());
}

void WizardTest::destinationCancelled() {
  const QString archive = MakeArchive(*m_scratch, "old.otq");
  QVERIFY(m_frame->OpenDocumentFile(archive));
  const QString source = m_scratch->Write("song.wav", MakeWave(1, 500));
  m_script->Then("CCompressDlg", [](QDialog* page) {
    static_cast<CCompressDlg*>(page)->NameEdit()->setText("typed");
    page->reject();
  });
  Compress(source);
  QCOMPARE(RowText(m_view), QString("old.otq|||||"));
  QCOMPARE(m_frame->windowTitle(), QString("old.otq - Ostinato"));
  QVERIFY(m_frame->m_actExtract->isEnabled());
  QCOMPARE(m_view->m_destinationPage.m_strNewName, QString());
  QVERIFY(m_jobs.isEmpty());
}

void WizardTest::nameChecks_data() {
  QTest::addColumn<QString>("name");
  QTest::addColumn<QString>("archive");
  QTest::newRow("plain") << "song" << "song.otq";
  QTest::newRow("with extension") << "song.otq" << "song.otq";
  QTest::newRow("mixed case extension") << "Song.Otq" << "Song.Otq.otq";
  QTest::newRow("upper case extension") << "SONG.OTQ" << "SONG.OTQ.otq";
  QTest::newRow("dot inside") << "my.song" << "my.song.otq";
  QTest::newRow("short") << "a" << "a.otq";
}

void WizardTest::nameChecks() {
  QFETCH(QString, name);
  QFETCH(QString, archive);
  const QString source = m_scratch->Write("song.wav", MakeWave(1, 500));
  QString seen;
  m_script->Then("CCompressDlg", [&](QDialog* page) { TypeName(page, name); })
      .Then("CCompress1Dlg", [&](QDialog* page) {
        seen = *m_options->m_pszArchivePath;
        QCOMPARE(m_options->SourceEdit()->text(), source);
        QCOMPARE(m_options->RateCombo()->currentText(), QString("Maximum"));
        page->reject();
      });
  Compress(source);
  QCOMPARE(seen, m_scratch->Path() + "/" + archive);
  QVERIFY(m_prompts->records.isEmpty());
  QVERIFY(!QFile::exists(m_scratch->File(archive)));
}

void WizardTest::nameRejectedThenAccepted() {
  const QString source = m_scratch->Write("song.wav", MakeWave(1, 500));
  m_script->Then("CCompressDlg", [](QDialog* page) { TypeName(page, ""); })
      .Then("CCompressDlg", [](QDialog* page) { TypeName(page, "song.wav"); })
      .Then("CCompressDlg", [](QDialog* page) {
        QCOMPARE(static_cast<CCompressDlg*>(page)->NameEdit()->text(), QString());  // cleared
        TypeName(page, "x.ab");
      })
      .Then("CCompressDlg", [](QDialog* page) { TypeName(page, "song"); })
      .Then("CCompress1Dlg", [](QDialog* page) { page->reject(); });
  Compress(source);
  QCOMPARE(m_prompts->Texts(), QStringList({"Please Enter the New *.otq File Name", "The File Name is not *.otq type",
                                            "The File Name is not *.otq type"}));
  for (const gui::PromptRecord& record : m_prompts->records) {
    QCOMPARE(record.caption, QString("Ostinato 3"));
    QCOMPARE(record.icon, gui::PromptIcon::Exclamation);
  }
}

void WizardTest::overwriteQuestion() {
  const QString source = m_scratch->Write("song.wav", MakeWave(1, 500));
  const QString existing = m_scratch->Write("song.otq", "old archive");
  m_prompts->answers = {gui::PromptAnswer::No, gui::PromptAnswer::Yes};
  m_script->Then("CCompressDlg", [](QDialog* page) { TypeName(page, "song"); })
      .Then("CCompressDlg", [](QDialog* page) {
        QCOMPARE(static_cast<CCompressDlg*>(page)->NameEdit()->text(), QString());
        TypeName(page, "song.otq");
      })
      .Then("CCompress1Dlg", [this](QDialog*) { m_options->m_btnCompress.click(); });
  Compress(source);
  QCOMPARE(m_prompts->records.size(), 2);
  for (const gui::PromptRecord& record : m_prompts->records) {
    QCOMPARE(record.caption, QString("Warning"));
    QCOMPARE(record.text, QString("song.otq already exist.\nYou want to overwrite it?"));
    QCOMPARE(record.buttons, gui::PromptButtons::YesNo);
  }
  QCOMPARE(m_jobs.size(), 1);
  QVERIFY(m_jobs[0].replaceArchive);
  QCOMPARE(QFileInfo(existing).size(), 600);
}

// A folder where the output would go cannot be overwritten: the person is
// told so at once, not asked a question whose Yes then fails.
void WizardTest::aFolderInTheWayIsToldNotAsked() {
  const QString source = m_scratch->Write("take.wav", MakeWave(1, 500));
  QVERIFY(QDir(m_scratch->Path()).mkdir("folder.otq"));
  m_prompts->answers = {gui::PromptAnswer::Yes, gui::PromptAnswer::Yes};
  m_script->Then("CCompressDlg", [](QDialog* page) { TypeName(page, "folder"); })
      .Then("CCompressDlg", [](QDialog* page) { page->reject(); });
  Compress(source);
  QCOMPARE(m_prompts->Texts(), QStringList({m_scratch->File("folder.otq") +
                                            " is not a regular file; an output can only replace a file"}));
  QCOMPARE(m_prompts->records[0].buttons, gui::PromptButtons::Ok);
  QVERIFY(m_jobs.isEmpty());

  m_prompts->Clear();
  const QString archive = MakeArchive(*m_scratch, "song.otq");
  QVERIFY(QDir(m_scratch->Path()).mkdir("song.wav"));
  QVERIFY(m_frame->OpenDocumentFile(archive));
  bool ran = false;
  m_extract->m_runJob = [&](const ost::ExtractionOptions&, ost::JobProgress&,
                            ost::PasswordQuestion*) -> ost::ExtractionResult {
    ran = true;
    return {};
  };
  m_script->Then("CExtractDlg", [this](QDialog* dialog) {
    m_extract->ExtractButton()->click();
    QVERIFY(dialog->isVisible());  // another folder may do
    dialog->reject();
  });
  m_frame->m_actExtract->trigger();
  QCOMPARE(m_prompts->Texts(), QStringList({m_scratch->File("song.wav") +
                                            " is not a regular file; an output can only replace a file"}));
  QVERIFY(!ran);
}

void WizardTest::compressionFillsRow() {
  const QString source = m_scratch->Write("song.wav", QByteArray(1000, 'w'));
  SetModified(source, QDateTime(QDate(2000, 12, 8), QTime(9, 5)));
  m_script->Then("CCompressDlg", [](QDialog* page) { TypeName(page, "song"); })
      .Then("CCompress1Dlg", [this](QDialog*) {
        m_options->RateCombo()->setCurrentText("Fast");
        m_options->m_btnCompress.click();
      });
  Compress(source);
  QCOMPARE(RowText(m_view), QString("song.wav|8/12/2000|9:5|1000|600|40.00%"));
  QCOMPARE(m_frame->windowTitle(), QString("song.otq - Ostinato"));
  QVERIFY(!m_frame->m_actExtract->isEnabled());
  QCOMPARE(m_jobs.size(), 1);
  QCOMPARE(QString::fromStdString(m_jobs[0].source.string()), source);
  QCOMPARE(QString::fromStdString(m_jobs[0].archive.string()), m_scratch->File("song.otq"));
  QCOMPARE(m_jobs[0].rate, ost::Rate::Fast);
  QCOMPARE(m_jobs[0].password, std::nullopt);
  QCOMPARE(m_options->m_bFinished, 1);
  QCOMPARE(m_options->m_bArchiveWritten, 0);  // lowered once the row was shown
  QVERIFY(m_frame->isEnabled());

  // The next Compress offers the file picked last.
  QString initial;
  m_view->m_pickSource = [&](QWidget*, const QString& start) {
    initial = start;
    return QString();
  };
  m_view->OnCompress();
  QCOMPARE(initial, source);
}

void WizardTest::compressionCancelled() {
  const QString archive = MakeArchive(*m_scratch, "old.otq");
  QVERIFY(m_frame->OpenDocumentFile(archive));
  const QString source = m_scratch->Write("song.wav", MakeWave(1, 500));
  m_behaviour = [](const ost::CompressionOptions&, ost::JobProgress& progress, ost::ChannelQuestion&) {
    progress.Begin("Ostinato 3 is compressing your file\n\nPlease wait......", 100);
    progress.Step();
    static_cast<CProgressWnd&>(progress).CancelButton()->click();
    progress.Step();
    ost::CompressionResult result;
    result.cancelled = progress.IsCancelled();
    progress.End();
    return result;
  };
  m_options->m_optPassword = QString("secret");
  m_script->Then("CCompressDlg", [](QDialog* page) { TypeName(page, "new"); })
      .Then("CCompress1Dlg", [this](QDialog*) {
        m_options->RateCombo()->setCurrentText("Fastest");
        m_options->m_btnCompress.click();
      });
  Compress(source);
  QCOMPARE(m_prompts->Texts(), QStringList({"Compression Cancelled"}));
  // No archive new.otq exists: the title does not name it, and the archive
  // that was open stays open.
  QCOMPARE(RowText(m_view), QString("old.otq|||||"));
  QCOMPARE(m_frame->windowTitle(), QString("old.otq - Ostinato"));
  QVERIFY(m_frame->m_actExtract->isEnabled());
  QCOMPARE(m_options->m_optPassword, std::nullopt);
  QCOMPARE(m_options->m_strRate, QString("Maximum"));
  QVERIFY(m_frame->isEnabled());
}

void WizardTest::jobFailures_data() {
  QTest::addColumn<int>("kind");
  QTest::addColumn<QString>("thrown");
  QTest::addColumn<QString>("message");
  QTest::addColumn<bool>("sourceKept");
  QTest::addColumn<QString>("rateAfter");
  QTest::newRow("A") << int(ost::ErrorKind::InvalidName) << "Invalid file name" << "Invalid file name" << false
                     << "Maximum";
  // A source that cannot be opened (deleted since it was picked, say): the
  // reason follows, as the name itself is fine.
  QTest::newRow("A, unreadable") << int(ost::ErrorKind::InvalidName)
                                 << "cannot open /x/song.wav: No such file or directory"
                                 << "Invalid file name\n\ncannot open /x/song.wav: No such file or directory" << false
                                 << "Maximum";
  QTest::newRow("B") << int(ost::ErrorKind::ChannelCancelled) << "core text" << "Action Cancelled" << true
                     << "Maximum";
}

void WizardTest::jobFailures() {
  QFETCH(int, kind);
  QFETCH(QString, thrown);
  QFETCH(QString, message);
  QFETCH(bool, sourceKept);
  QFETCH(QString, rateAfter);
  const QString source = m_scratch->Write("song.pcm", MakePcm(500));
  m_behaviour = [kind, thrown](const ost::CompressionOptions&, ost::JobProgress&,
                               ost::ChannelQuestion&) -> ost::CompressionResult {
    throw ost::Error(static_cast<ost::ErrorKind>(kind), thrown.toStdString());
  };
  m_script->Then("CCompressDlg", [](QDialog* page) { TypeName(page, "song"); })
      .Then("CCompress1Dlg", [&](QDialog* page) {
        m_options->m_optPassword = QString("kept");
        m_options->RateCombo()->setCurrentText("Fast");
        m_options->m_btnCompress.click();
        QVERIFY(page->isVisible());  // the page stays open
        QCOMPARE(m_options->m_bFinished, 0);
        QCOMPARE(m_options->SourceEdit()->text(), sourceKept ? source : QString());
        QCOMPARE(m_options->RateCombo()->currentText(), QString("Fast"));  // still shows the choice
        QCOMPARE(m_options->m_strRate, rateAfter);
        QCOMPARE(m_options->m_optPassword, std::optional<QString>("kept"));
        page->reject();
      });
  Compress(source);
  QCOMPARE(m_prompts->Texts(), QStringList({message}));
  QCOMPARE(m_prompts->records[0].icon, gui::PromptIcon::Exclamation);
  QCOMPARE(m_prompts->records[0].caption, QString("Ostinato 3"));
  // Cancel on the page forgets the password and the source.
  QCOMPARE(m_options->m_optPassword, std::nullopt);
  QCOMPARE(m_options->m_strSourcePath, QString());
  QCOMPARE(m_frame->windowTitle(), QString("Untitled - Ostinato"));
}

void WizardTest::otherErrorKeepsPageOpen() {
  const QString source = m_scratch->Write("song.wav", MakeWave(1, 500));
  m_behaviour = [](const ost::CompressionOptions&, ost::JobProgress&, ost::ChannelQuestion&) -> ost::CompressionResult {
    throw ost::Error(ost::ErrorKind::Io, "cannot write /x/song.otq: No space left on device");
  };
  m_script->Then("CCompressDlg", [](QDialog* page) { TypeName(page, "song"); })
      .Then("CCompress1Dlg", [&](QDialog* page) {
        m_options->m_btnCompress.click();
        QVERIFY(page->isVisible());
        QCOMPARE(m_options->SourceEdit()->text(), source);
        page->reject();
      });
  Compress(source);
  QCOMPARE(m_prompts->Texts(), QStringList({"cannot write /x/song.otq: No space left on device"}));
  QCOMPARE(m_prompts->records[0].icon, gui::PromptIcon::Stop);
}

void WizardTest::unknownRateRefused() {
  const QString source = m_scratch->Write("song.wav", MakeWave(1, 500));
  m_script->Then("CCompressDlg", [](QDialog* page) { TypeName(page, "song"); })
      .Then("CCompress1Dlg", [&](QDialog* page) {
        m_options->RateCombo()->setCurrentText("Turbo");
        m_options->m_btnCompress.click();
        QVERIFY(page->isVisible());
        m_options->RateCombo()->setCurrentText("normal");  // the names in any case
        m_options->m_btnCompress.click();
      });
  Compress(source);
  QCOMPARE(m_prompts->records.size(), 1);
  QVERIFY(m_prompts->records[0].text.contains("Turbo"));
  QCOMPARE(m_jobs.size(), 1);
  QCOMPARE(m_jobs[0].rate, ost::Rate::Normal);
}

// Our own rate is the list's fifth entry, after the four, and reaches the job.
void WizardTest::extremeRateOffered() {
  const QString source = m_scratch->Write("song.wav", MakeWave(1, 500));
  m_script->Then("CCompressDlg", [](QDialog* page) { TypeName(page, "song"); })
      .Then("CCompress1Dlg", [this](QDialog*) {
        QCOMPARE(m_options->RateCombo()->count(), 5);
        QCOMPARE(m_options->RateCombo()->itemText(0), QString("Maximum"));
        QCOMPARE(m_options->RateCombo()->itemText(4), QString("Extreme"));
        m_options->RateCombo()->setCurrentIndex(4);
        m_options->m_btnCompress.click();
      });
  Compress(source);
  QCOMPARE(m_jobs.size(), 1);
  QCOMPARE(m_jobs[0].rate, ost::Rate::Extreme);
}

// The source field shows both ends of a long path and the whole path as its
// tool tip; the job still gets the whole path.
void WizardTest::longSourcePathElided() {
  const QString deep = m_scratch->Path() + "/" + QString(60, 'd') + "/" + QString(60, 'e');
  QDir().mkpath(deep);
  const QString source = deep + "/take.wav";
  QFile file(source);
  QVERIFY(file.open(QIODevice::WriteOnly));
  file.write(MakeWave(1, 500));
  file.close();
  m_script->Then("CCompressDlg", [](QDialog* page) { TypeName(page, "take"); })
      .Then("CCompress1Dlg", [this, source](QDialog*) {
        QLineEdit* field = m_options->SourceEdit();
        QVERIFY(field->text().startsWith(m_scratch->Path().left(5)));
        QVERIFY(field->text().endsWith("/take.wav"));
        QVERIFY(field->text().contains(QChar(0x2026)));
        QVERIFY(field->fontMetrics().horizontalAdvance(field->text()) < field->contentsRect().width());
        QCOMPARE(field->toolTip(), source);
        m_options->m_btnCompress.click();
      });
  Compress(source);
  QCOMPARE(m_jobs.size(), 1);
  QCOMPARE(QString::fromStdString(m_jobs[0].source.string()), source);
}

void WizardTest::passwordHandOver() {
  const QString source = m_scratch->Write("song.wav", MakeWave(1, 500));
  bool failOnce = true;
  m_behaviour = [&, fake = m_behaviour](const ost::CompressionOptions& options, ost::JobProgress& progress,
                                        ost::ChannelQuestion& channels) {
    if (failOnce) {
      failOnce = false;
      throw ost::Error(ost::ErrorKind::ChannelCancelled, "Action Cancelled");
    }
    return fake(options, progress, channels);
  };
  m_script->Then("CCompressDlg", [](QDialog* page) { TypeName(page, "one"); })
      .Then("CCompress1Dlg", [this](QDialog*) { m_options->m_btnPassword.click(); })
      .Then("CPassDlg", [this](QDialog* dialog) {
        QCOMPARE(m_options->m_passDlg.Note(), QString(CPassDlg::kNewArchiveNote));
        QTest::keyClicks(m_options->m_passDlg.PasswordEdit(), "secret");
        dialog->accept();
        // A second press, cancelled, keeps the first password.
        QTimer::singleShot(0, this, [this] { m_options->m_btnPassword.click(); });
      })
      .Then("CPassDlg", [this](QDialog* dialog) {
        QTest::keyClicks(m_options->m_passDlg.PasswordEdit(), "other");
        dialog->reject();
        QTimer::singleShot(0, this, [this] {
          QCOMPARE(m_options->m_passDlg.m_strPassword, QString());  // cleared after use
          m_options->m_btnCompress.click();                          // fails (B): password kept
          m_options->m_btnCompress.click();                          // runs with it
        });
      });
  Compress(source);
  QCOMPARE(m_jobs.size(), 2);
  QCOMPARE(m_jobs[0].password, std::optional<std::string>("secret"));
  QCOMPARE(m_jobs[1].password, std::optional<std::string>("secret"));
  QCOMPARE(m_options->m_optPassword, std::nullopt);  // used up by the archive

  // An empty password confirmed with OK is a password too; Cancel of the
  // page forgets it.
  m_script->Then("CCompressDlg", [](QDialog* page) { TypeName(page, "two"); })
      .Then("CCompress1Dlg", [this](QDialog*) { m_options->m_btnPassword.click(); })
      .Then("CPassDlg", [this](QDialog* dialog) {
        dialog->accept();
        QTimer::singleShot(0, this, [this] {
          QCOMPARE(m_options->m_optPassword, std::optional<QString>(QString()));
          m_options->reject();
        });
      })
      .Then("CCompressDlg", [](QDialog* page) { TypeName(page, "three"); })
      .Then("CCompress1Dlg", [this](QDialog*) { m_options->m_btnCompress.click(); });
  Compress(source);
  m_view->m_pickSource = [source](QWidget*, const QString&) { return source; };
  m_view->OnCompress();
  QCOMPARE(m_jobs.size(), 3);
  QCOMPARE(m_jobs[2].password, std::nullopt);
}

void WizardTest::optionsEnterReturnsToDestination() {
  const QString source = m_scratch->Write("song.wav", MakeWave(1, 500));
  m_script->Then("CCompressDlg", [](QDialog* page) { TypeName(page, "song"); })
      .Then("CCompress1Dlg", [this](QDialog*) {
        m_options->RateCombo()->setFocus();
        QTest::keyClick(m_options->RateCombo(), Qt::Key_Return);
      })
      .Then("CCompressDlg", [](QDialog* page) {
        QCOMPARE(static_cast<CCompressDlg*>(page)->NameEdit()->text(), QString());
        TypeName(page, "again");
      })
      .Then("CCompress1Dlg", [&](QDialog* page) {
        QCOMPARE(m_options->SourceEdit()->text(), source);  // the source stays selected
        QCOMPARE(*m_options->m_pszArchivePath, m_scratch->File("again.otq"));
        page->reject();
      });
  Compress(source);
  QVERIFY(m_jobs.isEmpty());
}

void WizardTest::jobDisablesItsPage() {
  const QString source = m_scratch->Write("song.wav", MakeWave(1, 500));
  int nested = 0;
  m_behaviour = [&, fake = m_behaviour](const ost::CompressionOptions& options, ost::JobProgress& progress,
                                        ost::ChannelQuestion& channels) {
    progress.Begin("Ostinato 3 is compressing your file\n\nPlease wait......", 2);
    auto& window = static_cast<CProgressWnd&>(progress);
    [&] {
      QVERIFY(window.isVisible());
      QVERIFY(window.isEnabled());
      QVERIFY(!m_frame->isEnabled());
      QVERIFY(m_options->IsJobRunning());
      QVERIFY(!m_options->m_btnCompress.isEnabled());
      QVERIFY(!m_options->m_btnCancel.isEnabled());
      QCOMPARE(window.Text(), QString("Ostinato 3 is compressing your file\n\nPlease wait......"));
    }();
    const int before = m_jobs.size();
    m_options->OnCompressButton();  // a second press is ignored
    m_options->reject();            // and so is a close
    nested = m_jobs.size() - before;
    progress.End();
    return fake(options, progress, channels);
  };
  m_script->Then("CCompressDlg", [](QDialog* page) { TypeName(page, "song"); })
      .Then("CCompress1Dlg", [this](QDialog*) { m_options->m_btnCompress.click(); });
  Compress(source);
  QCOMPARE(nested, 0);
  QCOMPARE(m_jobs.size(), 1);
  QVERIFY(m_frame->isEnabled());
  QVERIFY(m_options->m_btnCompress.isEnabled());
  QCOMPARE(RowText(m_view).section('|', 0, 0), QString("song.wav"));
}

// Every job's progress window appears once, when its job begins, and goes
// once. It was shown when made and hidden at once until the job began: on
// a loaded machine the window manager then at times never put the second
// showing on the screen, and the job ran with no window and no Cancel.
void WizardTest::progressWindowsAreShownOnce() {
  struct Showings : QObject {
    QString seen;  // S for each showing of a progress window, H for each hiding
    bool eventFilter(QObject* object, QEvent* event) override {
      if (qobject_cast<CProgressWnd*>(object) && (event->type() == QEvent::Show || event->type() == QEvent::Hide))
        seen += event->type() == QEvent::Show ? 'S' : 'H';
      return false;
    }
  } showings;
  qApp->installEventFilter(&showings);
  const QString source = m_scratch->Write("song.wav", MakeWave(1, 500));
  m_script->Then("CCompressDlg", [](QDialog* page) { TypeName(page, "song"); }).Then("CCompress1Dlg", [this](QDialog*) {
    m_options->m_btnCompress.click();
  });
  Compress(source);
  QCOMPARE(m_jobs.size(), 1);
  QCOMPARE(showings.seen, QString("SH"));

  showings.seen.clear();
  const QString archive = MakeArchive(*m_scratch, "take.otq");
  QVERIFY(m_frame->OpenDocumentFile(archive));
  QString beforeTheJob;
  m_extract->m_runJob = [&](const ost::ExtractionOptions&, ost::JobProgress& progress, ost::PasswordQuestion*) {
    beforeTheJob = showings.seen;
    progress.Begin("Ostinato 3 is Extracting your file\n\nPlease wait......", 1);
    progress.Step();
    progress.End();
    return ost::ExtractionResult{};
  };
  m_script->Then("CExtractDlg", [this](QDialog* dialog) {
    m_extract->ExtractButton()->click();
    if (dialog->isVisible()) dialog->reject();
  });
  m_frame->m_actExtract->trigger();
  QCOMPARE(beforeTheJob, QString());
  QCOMPARE(showings.seen, QString("SH"));

  // Play restores with a real job.
  showings.seen.clear();
  m_frame->m_actPlay->trigger();
  if (m_view->IsPlayingArchive()) m_frame->m_actPlay->trigger();
  QCOMPARE(showings.seen, QString("SH"));
  qApp->removeEventFilter(&showings);
}

void WizardTest::channelQuestion() {
  const QString source = m_scratch->Write("take.pcm", MakePcm(500));
  std::optional<ost::ChannelLayout> answer;
  const auto plain = m_behaviour;
  m_behaviour = [&, fake = plain](const ost::CompressionOptions& options, ost::JobProgress& progress,
                                  ost::ChannelQuestion& channels) {
    answer = channels.AskChannels(options.source);
    return fake(options, progress, channels);
  };
  m_script->Then("CCompressDlg", [](QDialog* page) { TypeName(page, "take"); })
      .Then("CCompress1Dlg", [this](QDialog*) { m_options->m_btnCompress.click(); })
      .Then("CChannelDlg", [this](QDialog* dialog) {
        m_options->m_channelDlg.StereoButton()->click();
        QTest::qWait(400);  // a person thinking
        dialog->accept();
      });
  Compress(source);
  QCOMPARE(answer, std::optional(ost::ChannelLayout::Stereo));
  // The time the person took to answer is not the job's (the status line
  // said "in 1.7 s" of a job of 0.1 s).
  QVERIFY2(m_options->m_nJobMs < 300, qPrintable(QString::number(m_options->m_nJobMs)));
  // The next job asks nothing, and nothing of that wait is taken off it.
  m_behaviour = [fake = plain](const ost::CompressionOptions& options, ost::JobProgress& progress,
                               ost::ChannelQuestion& channels) {
    QTest::qWait(100);
    return fake(options, progress, channels);
  };
  m_script->Then("CCompressDlg", [](QDialog* page) { TypeName(page, "next"); })
      .Then("CCompress1Dlg", [this](QDialog*) { m_options->m_btnCompress.click(); });
  Compress(m_scratch->Write("next.wav", MakeWave(1, 300)));
  QVERIFY2(m_options->m_nJobMs >= 100, qPrintable(QString::number(m_options->m_nJobMs)));
}

void WizardTest::noticesShownAfterSuccess() {
  const QString source = m_scratch->Write("odd.wav", MakeWave(2, 300));
  m_behaviour = [fake = m_behaviour](const ost::CompressionOptions& options, ost::JobProgress& progress,
                                     ost::ChannelQuestion& channels) {
    ost::CompressionResult result = fake(options, progress, channels);
    result.notices = {"first notice", "second notice"};
    return result;
  };
  m_script->Then("CCompressDlg", [](QDialog* page) { TypeName(page, "odd"); })
      .Then("CCompress1Dlg", [this](QDialog*) { m_options->m_btnCompress.click(); });
  Compress(source);
  QCOMPARE(m_prompts->Texts(), QStringList({"first notice\nsecond notice"}));
  QCOMPARE(RowText(m_view).section('|', 0, 0), QString("odd.wav"));
}

// Drops on the main window: an archive opens, a recording starts the wizard
// with it as the source; anything else is refused while dragging.
void WizardTest::droppedFiles() {
  const QString archive = MakeArchive(*m_scratch, "dropped.otq");
  const QString source = m_scratch->Write("take.wav", MakeWave(1, 500));
  const QString other = m_scratch->Write("notes.txt", "x");
  const auto drop = [this](const QString& path) {
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(path)});
    const QPoint at = m_view->mapTo(m_frame.get(), m_view->rect().center());
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, {});
    QApplication::sendEvent(m_frame.get(), &enter);
    if (!enter.isAccepted()) return false;
    QDropEvent dropEvent(at, Qt::CopyAction, &data, Qt::LeftButton, {});
    QApplication::sendEvent(m_frame.get(), &dropEvent);
    return dropEvent.isAccepted();
  };
  QVERIFY(!drop(other));
  QVERIFY(drop(archive));
  QTRY_COMPARE(RowText(m_view), QString("dropped.otq|||||"));
  QCOMPARE(m_frame->windowTitle(), QString("dropped.otq - Ostinato"));

  m_script->Then("CCompressDlg", [this](QDialog* page) {
    QCOMPARE(m_options->m_strSourceName, QString("take.wav"));
    page->reject();
  });
  QVERIFY(drop(source));
  QTRY_VERIFY(m_script->Done());
  QTRY_VERIFY(!QApplication::activeModalWidget());
  QCOMPARE(m_options->m_strSourcePath, QFileInfo(source).absoluteFilePath());
}

void WizardTest::viewToggles() {
  auto* toolBar = m_frame->findChild<QToolBar*>();
  QVERIFY(toolBar && toolBar->isVisible());
  m_frame->m_actToolbar->trigger();
  QVERIFY(!toolBar->isVisible());
  m_frame->m_actToolbar->trigger();
  QVERIFY(toolBar->isVisible());
  QCOMPARE(m_frame->toolBarArea(toolBar), Qt::TopToolBarArea);
  m_frame->m_actStatusBar->trigger();
  QVERIFY(!m_frame->statusBar()->isVisible());
  m_frame->m_actStatusBar->trigger();
  QVERIFY(m_frame->statusBar()->isVisible());
  QCOMPARE(m_frame->statusBar()->currentMessage(), QString("Ready"));
  QCOMPARE(m_frame->m_actExtract->toolTip(), QString("Extract"));
  QCOMPARE(m_frame->m_actExtract->statusTip(), QString("Extract the *.otq file"));
  QCOMPARE(m_frame->m_actCompress->statusTip(), QString("Compress *.pcm file"));
  QCOMPARE(m_frame->m_actOpen->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_O));
}

void WizardTest::openShowsEntry() {
  QVERIFY(!m_frame->m_actExtract->isEnabled());
  const QString wave = MakeArchive(*m_scratch, "song.otq");
  QVERIFY(m_frame->OpenDocumentFile(wave));
  QCOMPARE(RowText(m_view), QString("song.otq|||||"));
  QCOMPARE(m_extract->m_szOutputName, QString("song.wav"));
  QCOMPARE(m_frame->windowTitle(), QString("song.otq - Ostinato"));
  QVERIFY(m_frame->m_actExtract->isEnabled());
  COstinatoDoc* doc = m_frame->Document();
  QCOMPARE(doc->m_nArchiveLength, quint64(QFileInfo(wave).size()));
  QCOMPARE(doc->m_bEntryPending, 0);

  const QString pcm = MakeArchive(*m_scratch, "take.otq", false);
  QVERIFY(m_frame->OpenDocumentFile(pcm));
  QCOMPARE(RowText(m_view), QString("take.otq|||||"));
  QCOMPARE(m_extract->m_szOutputName, QString("take.pcm"));
}

// What is not an archive, or a damaged one, is refused when it is opened,
// not only at Extract: the head and the stream lengths are read then. The
// archive that was open stays open.
void WizardTest::openRefusesWhatIsNoArchive() {
  const QString good = MakeArchive(*m_scratch, "good.otq");
  QVERIFY(m_frame->OpenDocumentFile(good));
  QByteArray bytes = ReadFile(good);
  const QString text = m_scratch->Write("notes.otq", "some text, not an archive");
  const QString cut = m_scratch->Write("cut.otq", bytes.left(bytes.size() - 7));
  for (const QString& bad : {text, cut}) {
    m_prompts->Clear();
    QVERIFY(!m_frame->OpenDocumentFile(bad));
    QCOMPARE(m_prompts->records.size(), 1);
    QVERIFY2(m_prompts->records[0].text.startsWith("Cannot open " + bad + ": The archive is damaged"),
             qPrintable(m_prompts->records[0].text));
    QCOMPARE(m_frame->windowTitle(), QString("good.otq - Ostinato"));
    QCOMPARE(RowText(m_view), QString("good.otq|||||"));
    QVERIFY(!m_frame->RecentFiles().contains(bad));
  }
  m_prompts->Clear();
}

void WizardTest::extractFillsRow() {
  QDir(m_scratch->Path()).mkpath("out");
  const QString archive = MakeArchive(*m_scratch, "song.otq");
  QVERIFY(m_frame->OpenDocumentFile(archive));
  QList<ost::ExtractionOptions> jobs;
  m_extract->m_runJob = [&](const ost::ExtractionOptions& options, ost::JobProgress& progress,
                            ost::PasswordQuestion* password) {
    jobs << options;
    [&] { QVERIFY(password); }();
    progress.Begin("Ostinato 3 is Extracting your file\n\nPlease wait......", 2);
    progress.Step();
    progress.Step();
    progress.End();
    QFile target(QString::fromStdString(options.target.string()));
    target.open(QIODevice::WriteOnly);
    target.write(QByteArray(1000, 'r'));
    return ost::ExtractionResult{};
  };
  m_prompts->answers = {gui::PromptAnswer::Yes};  // the second round replaces the first one's file
  for (int round = 0; round < 2; ++round) {
    m_script->Then("CExtractDlg", [this](QDialog*) {
      // Down into "out", then Extract.
      QTreeWidgetItem* out = m_extract->m_tree.currentItem()->child(0);
      m_extract->m_tree.setCurrentItem(out);
      m_extract->m_tree.OnDblclk();
      QCOMPARE(m_extract->PathEdit()->text(), m_scratch->File("out"));
      m_extract->ExtractButton()->click();
    });
    m_frame->m_actExtract->trigger();
    QVERIFY(m_frame->m_actExtract->isEnabled());  // the same archive can be extracted again
  }
  QCOMPARE(jobs.size(), 2);
  QCOMPARE(QString::fromStdString(jobs[0].archive.string()), archive);
  QCOMPARE(QString::fromStdString(jobs[0].target.string()), m_scratch->File("out/song.wav"));
  QVERIFY(!jobs[0].replaceTarget);
  QVERIFY(jobs[1].replaceTarget);
  QCOMPARE(m_prompts->Texts(), QStringList({"song.wav already exist.\nYou want to overwrite it?"}));
  m_prompts->Clear();
  const QDateTime written = QFileInfo(m_scratch->File("out/song.wav")).lastModified();
  const qint64 packed = QFileInfo(archive).size();
  QCOMPARE(RowText(m_view), QString("song.wav|%1|%2|1000|%3|%4")
                                .arg(COstinatoView::DateText(written.date()), COstinatoView::TimeText(written.time()))
                                .arg(packed)
                                .arg(COstinatoView::RatioText(1000, packed)));
  QVERIFY(m_prompts->records.isEmpty());
}

void WizardTest::extractWrongPassword() {
  const QString archive = MakeArchive(*m_scratch, "song.otq");
  QVERIFY(m_frame->OpenDocumentFile(archive));
  std::optional<std::string> given;
  m_extract->m_runJob = [&](const ost::ExtractionOptions& options, ost::JobProgress&,
                            ost::PasswordQuestion* password) -> ost::ExtractionResult {
    given = password->AskPassword(options.archive);
    throw ost::Error(ost::ErrorKind::WrongPassword, ost::kWrongPasswordMessage);
  };
  m_script->Then("CExtractDlg", [this](QDialog*) { m_extract->ExtractButton()->click(); })
      .Then("CPassDlg", [this](QDialog* dialog) {
        // It says which archive the password is for, and why.
        QCOMPARE(m_extract->m_passDlg.Note(),
                 QString("song.otq is protected by a password. Enter it to extract the recording."));
        QTest::keyClicks(m_extract->m_passDlg.PasswordEdit(), "bad");
        QTest::qWait(400);  // a person thinking
        dialog->accept();
      });
  m_frame->m_actExtract->trigger();
  QCOMPARE(given, std::optional<std::string>("bad"));
  // The time the person took to answer is not the job's.
  QVERIFY2(m_extract->m_nJobMs < 300, qPrintable(QString::number(m_extract->m_nJobMs)));
  QCOMPARE(m_extract->m_passDlg.m_strPassword, QString());
  QCOMPARE(m_prompts->records.size(), 1);
  QCOMPARE(m_prompts->records[0].text, QString("You have Entered the WRONG PASSWORD!"));
  QCOMPARE(m_prompts->records[0].caption, QString("Wrong Password!"));
  QCOMPARE(m_prompts->records[0].icon, gui::PromptIcon::Stop);
  QVERIFY(!m_extract->isVisible());
  QCOMPARE(RowText(m_view), QString("song.otq|||||"));
}

void WizardTest::extractCancelled() {
  const QString archive = MakeArchive(*m_scratch, "song.otq");
  QVERIFY(m_frame->OpenDocumentFile(archive));
  m_extract->m_runJob = [&](const ost::ExtractionOptions&, ost::JobProgress& progress, ost::PasswordQuestion*) {
    progress.Begin("Ostinato 3 is Extracting your file\n\nPlease wait......", 10);
    QCoreApplication::postEvent(m_extract, new QKeyEvent(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier));
    progress.Step();
    ost::ExtractionResult result;
    result.cancelled = progress.IsCancelled();
    progress.End();
    return result;
  };
  m_script->Then("CExtractDlg", [this](QDialog*) { m_extract->ExtractButton()->click(); });
  m_frame->m_actExtract->trigger();
  QCOMPARE(m_prompts->Texts(), QStringList({"Extraction Cancelled"}));
  QVERIFY(!m_extract->isVisible());  // Escape cancelled the job, not the dialog
  QCOMPARE(m_extract->result(), 1);
  QCOMPARE(RowText(m_view), QString("song.otq|||||"));
  QVERIFY(m_frame->isEnabled());
}

void WizardTest::extractDamagedKeepsDialog() {
  const QString archive = MakeArchive(*m_scratch, "song.otq");
  QVERIFY(m_frame->OpenDocumentFile(archive));
  m_extract->m_runJob = [&](const ost::ExtractionOptions&, ost::JobProgress&,
                            ost::PasswordQuestion*) -> ost::ExtractionResult {
    throw ost::Error(ost::ErrorKind::Damaged, "The archive is damaged: stream 2 is too short");
  };
  m_script->Then("CExtractDlg", [this](QDialog* dialog) {
    m_extract->ExtractButton()->click();
    QVERIFY(dialog->isVisible());
    dialog->reject();
  });
  m_frame->m_actExtract->trigger();
  QCOMPARE(m_prompts->Texts(), QStringList({"The archive is damaged: stream 2 is too short"}));
  QCOMPARE(RowText(m_view), QString("song.otq|||||"));
}

// The window's size, the list's column widths and the folders used last are
// there again in the next run.
void WizardTest::rememberedAcrossRuns() {
  const QString archive = MakeArchive(*m_scratch, "kept.otq");
  QDir(m_scratch->Path()).mkpath("sources");
  const QString source = m_scratch->Write("sources/take.wav", MakeWave(1, 500));
  QVERIFY(m_frame->OpenDocumentFile(archive));
  m_view->m_pickSource = [&](QWidget*, const QString&) { return source; };
  m_script->Then("CCompressDlg", [](QDialog* page) { page->reject(); });
  m_view->OnCompress();
  m_frame->resize(700, 321);
  m_view->List().setColumnWidth(2, 123);
  m_frame->close();
  m_frame.reset();

  // The next run: nothing of the last one left in memory.
  COstinatoView::s_strLastSourceName.clear();
  COstinatoView::s_strLastSourcePath.clear();
  CDriveCombo::ResetFolders(QDir::rootPath());
  m_frame = std::make_unique<CMainFrame>(false);
  m_frame->show();
  m_view = m_frame->View();
  m_options = &m_view->m_optionsPage;
  m_extract = &m_view->m_extractDlg;
  QCOMPARE(m_frame->size(), QSize(700, 321));
  QCOMPARE(m_view->List().columnWidth(2), 123);
  QString offered;
  m_view->m_pickSource = [&](QWidget*, const QString& initial) {
    offered = initial;
    return QString();
  };
  m_view->OnCompress();
  QCOMPARE(offered, source);
  m_frame->m_pickArchive = [&](QWidget*, const QString& folder) {
    offered = folder;
    return QString();
  };
  m_frame->OnFileOpen();
  QCOMPARE(offered, m_scratch->Path());
}

// Play restores the open archive into a private folder and plays it; a
// second Play stops it. Nothing is written beside the archive, and the
// copy goes once nothing plays. A headerless recording cannot be played,
// and the user is told so.
void WizardTest::playArchive() {
  QVERIFY(!m_frame->m_actPlay->isEnabled());
  const QString archive = MakeArchive(*m_scratch, "song.otq");
  QVERIFY(m_frame->OpenDocumentFile(archive));
  QVERIFY(m_frame->m_actPlay->isEnabled());
  const QStringList before = QDir(m_scratch->Path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
  m_frame->m_actPlay->trigger();
  QVERIFY2(m_prompts->records.isEmpty(), qPrintable(m_prompts->Texts().join("; ")));
  const QString restored = m_view->PlayedFile();
  QVERIFY(!restored.isEmpty());
  QVERIFY(!restored.startsWith(m_scratch->Path()));
  const QFileInfo folder(QFileInfo(restored).absolutePath());
  QVERIFY2(folder.fileName().startsWith("ostinato-job-"), qPrintable(folder.filePath()));
  if (!QMediaDevices::audioOutputs().isEmpty()) {
    QCOMPARE(QFileInfo(restored).size(), qint64(44 + 1000));  // the source: 500 samples and its header
    // It sits in a job's working folder, held while it plays, so that a
    // program killed while playing leaves nothing that a later job does
    // not remove.
    ost::leftovers::RemoveDead(folder.absolutePath().toStdString(), "ostinato-job-");
    QVERIFY(QFileInfo::exists(restored));
    QVERIFY(m_view->IsPlayingArchive());
    QCOMPARE(m_frame->m_actPlay->text(), QString("S&top"));
    m_frame->m_actPlay->trigger();
  }
  // Stopped, or never playing for want of a sound output: the copy is gone.
  QVERIFY(!m_view->IsPlayingArchive());
  QCOMPARE(m_frame->m_actPlay->text(), QString("&Play"));
  QVERIFY2(!QFileInfo::exists(folder.absoluteFilePath()), qPrintable(folder.absoluteFilePath()));
  QCOMPARE(QDir(m_scratch->Path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), before);

  const QString pcm = MakeArchive(*m_scratch, "take.otq", false);
  QVERIFY(m_frame->OpenDocumentFile(pcm));
  m_frame->m_actPlay->trigger();
  QCOMPARE(m_prompts->Texts(), QStringList({"take.otq holds a recording without a RIFF WAVE header, which cannot be played."}));
  m_prompts->Clear();
}

// Play of a protected archive asks for its password over the main window,
// where the person is looking, not where the extract dialog, which Play
// never shows, would stand; Extract still asks over its own dialog.
void WizardTest::playAsksForThePasswordOverTheWindow() {
  QVERIFY(m_frame->OpenDocumentFile(MakeArchive(*m_scratch, "locked.otq", true, "secret")));
  m_frame->setGeometry(420, 300, 500, 300);
  QRect asked;
  m_script->Then("CPassDlg", [&](QDialog* dialog) {
    asked = dialog->frameGeometry();
    QTest::keyClicks(m_extract->m_passDlg.PasswordEdit(), "secret");
    dialog->accept();
  });
  m_frame->m_actPlay->trigger();
  QVERIFY2(m_prompts->records.isEmpty(), qPrintable(m_prompts->Texts().join("; ")));
  QVERIFY(!m_view->PlayedFile().isEmpty());
  QVERIFY2((asked.center() - m_frame->frameGeometry().center()).manhattanLength() < 40,
           qPrintable(QString("asked at %1,%2, the window's centre %3,%4")
                          .arg(asked.center().x()).arg(asked.center().y())
                          .arg(m_frame->frameGeometry().center().x()).arg(m_frame->frameGeometry().center().y())));
  if (m_view->IsPlayingArchive()) m_frame->m_actPlay->trigger();
}

// A Play that ends before any sound (the password question cancelled, a
// wrong password, a damaged archive) leaves no working folder behind.
void WizardTest::aPlayThatEndsBeforeTheSoundLeavesNoFolder() {
  const QString locked = MakeArchive(*m_scratch, "locked.otq", true, "secret");
  QByteArray damaged = ReadFile(MakeArchive(*m_scratch, "open.otq"));
  damaged[damaged.size() / 2] = static_cast<char>(damaged[damaged.size() / 2] ^ 0x5A);
  const QString cut = m_scratch->Write("damaged.otq", damaged);
  // The job folders of this test only, in a temporary folder of its own.
  QTemporaryDir temp;
  struct TempFolder {
    explicit TempFolder(const QString& path) : old(qgetenv("TMPDIR")) { qputenv("TMPDIR", path.toLocal8Bit()); }
    ~TempFolder() {
      if (old.isNull())
        qunsetenv("TMPDIR");
      else
        qputenv("TMPDIR", old);
    }
    QByteArray old;
  } tempFolder(temp.path());
  auto jobFolders = [&] { return QDir(temp.path()).entryList({"ostinato-job-*"}, QDir::Dirs | QDir::Hidden); };
  for (const QString& answer : {QString(), QString("wrong")}) {
    QVERIFY(m_frame->OpenDocumentFile(locked));
    m_script->Then("CPassDlg", [&, answer](QDialog* dialog) {
      if (answer.isEmpty()) return dialog->reject();
      QTest::keyClicks(m_extract->m_passDlg.PasswordEdit(), answer);
      dialog->accept();
    });
    m_frame->m_actPlay->trigger();
    m_prompts->Clear();
    QVERIFY2(jobFolders().isEmpty(), qPrintable(answer + ": " + jobFolders().join(", ")));
  }
  QVERIFY(m_frame->OpenDocumentFile(cut));
  m_frame->m_actPlay->trigger();
  QVERIFY(!m_prompts->records.isEmpty());  // the damage told
  m_prompts->Clear();
  QVERIFY2(jobFolders().isEmpty(), qPrintable(jobFolders().join(", ")));
}

// A stop signal (a closed session, kill) while a job runs cancels the job,
// whose cleanup removes what it made, and asks every event loop to end.
void WizardTest::stopSignalCancelsTheRunningJob() {
  const QString source = m_scratch->Write("song.wav", MakeWave(1, 500));
  int steps = 0;
  m_behaviour = [&steps](const ost::CompressionOptions&, ost::JobProgress& progress, ost::ChannelQuestion&) {
    progress.Begin("Ostinato 3 is compressing your file\n\nPlease wait......", 1000);
    gui::Stop(SIGTERM);  // as the watcher does with the signal
    gui::Stop(SIGHUP);   // the same request delivered again, as a closing session does: no second one
    for (; steps < 1000 && !progress.IsCancelled(); ++steps) {
      QThread::msleep(5);
      progress.Step();
    }
    ost::CompressionResult result;
    result.cancelled = progress.IsCancelled();
    progress.End();
    return result;
  };
  m_script->Then("CCompressDlg", [](QDialog* page) { TypeName(page, "new"); })
      .Then("CCompress1Dlg", [this](QDialog*) { m_options->m_btnCompress.click(); });
  Compress(source);
  QCOMPARE(gui::StopSignal(), SIGTERM);
  QVERIFY2(steps < 1000, "the job never heard of the signal");
  QCOMPARE(m_prompts->Texts(), QStringList({"Compression Cancelled"}));
  QVERIFY(!QFile::exists(m_scratch->File("new.otq")));
}

void WizardTest::recentFiles() {
  QStringList paths;
  for (int i = 1; i <= 5; ++i) paths << MakeArchive(*m_scratch, QString("a%1.otq").arg(i));
  for (const QString& path : paths) QVERIFY(m_frame->OpenDocumentFile(path));
  QCOMPARE(m_frame->RecentFiles(), QStringList({paths[4], paths[3], paths[2], paths[1]}));
  QVERIFY(m_frame->OpenDocumentFile(paths[2]));
  QCOMPARE(m_frame->RecentFiles(), QStringList({paths[2], paths[4], paths[3], paths[1]}));

  // A file that has gone is reported and leaves the list.
  QFile::remove(paths[3]);
  QVERIFY(!m_frame->OpenDocumentFile(paths[3]));
  QCOMPARE(m_prompts->records.size(), 1);
  QVERIFY(m_prompts->records[0].text.startsWith("Cannot open " + paths[3]));
  QCOMPARE(m_frame->RecentFiles(), QStringList({paths[2], paths[4], paths[1]}));
  QCOMPARE(m_frame->windowTitle(), QString("a3.otq - Ostinato"));  // the document stays

  // The list survives the window: a new one reads it from the settings.
  m_frame = std::make_unique<CMainFrame>(false);
  QCOMPARE(m_frame->RecentFiles(), QStringList({paths[2], paths[4], paths[1]}));

  // A long path is shortened in its middle, so that the menu stays narrower
  // than a screen and the file's name shows; the whole path is its tip.
  const QString folder = m_scratch->Path() + "/" + QString(120, QChar('f'));
  QVERIFY(QDir().mkpath(folder + "/" + QString(120, QChar('g'))));
  const QString longPath = MakeArchive(*m_scratch, QString(120, QChar('f')) + "/" + QString(120, QChar('g')) +
                                                       "/" + QString(150, QChar('n')) + " & end.otq");
  QVERIFY(m_frame->OpenDocumentFile(longPath));
  QMenu* file = m_frame->menuBar()->actions().at(0)->menu();
  const QList<QAction*> entries = file->actions();
  const auto first = std::find_if(entries.begin(), entries.end(), [&](QAction* a) { return a->data() == longPath; });
  QVERIFY(first != entries.end());
  const QString text = (*first)->text();
  QVERIFY2(text.startsWith("&1 " + m_scratch->Path().left(8)), qPrintable(text));
  QVERIFY2(text.endsWith(" && end.otq"), qPrintable(text));
  QVERIFY2(text.contains(QChar(0x2026)), qPrintable(text));
  QVERIFY2(file->fontMetrics().horizontalAdvance(text) < 80 * file->fontMetrics().averageCharWidth(),
           qPrintable(text));
  QCOMPARE((*first)->toolTip(), longPath);
  QVERIFY(file->toolTipsVisible());
}

QTEST_MAIN(WizardTest)
#include "tst_wizard.moc"
