// Compress a recording through the wizard with the real jobs, open the
// archive, extract it through the extract dialog and compare the bytes.
#include <QtTest>

#include <QComboBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QRadioButton>

#include "GuiTestSupport.h"
#include "app/MainFrm.h"
#include "app/OstinatoView.h"
#include "compress/CompressionJob.h"
#include "controls/ProgressWnd1.h"
#include "extract/ExtractionJob.h"
#include "controls/Settings.h"

namespace {

QByteArray ReadAll(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Presses the cancel button of the first progress window that appears.
// Stands between a real job and its progress window and notes, for each
// Begin, the units announced, the steps made and whether the window's bar
// was full when the job said End.
class ProgressSpy : public ost::JobProgress {
 public:
  explicit ProgressSpy(ost::JobProgress& window) : m_window(window) {}
  struct Pass {
    std::uint64_t units = 0;
    std::uint64_t steps = 0;
    bool fullAtEnd = false;
  };
  static inline QList<Pass> passes;

  void Begin(std::string_view text, std::uint64_t units) override {
    passes << Pass{units, 0, false};
    m_window.Begin(text, units);
  }
  void Step() override {
    if (!passes.isEmpty()) ++passes.last().steps;
    m_window.Step();
  }
  bool IsCancelled() override { return m_window.IsCancelled(); }
  void Pump() override { m_window.Pump(); }
  void End() override {
    if (auto* window = dynamic_cast<CProgressWnd*>(&m_window); window && !passes.isEmpty())
      if (auto* bar = window->findChild<QProgressBar*>()) passes.last().fullAtEnd = bar->value() == bar->maximum();
    m_window.End();
  }

 private:
  ost::JobProgress& m_window;
};

class CancelOnShow : public QObject {
 public:
  CancelOnShow() { qApp->installEventFilter(this); }
  ~CancelOnShow() override { qApp->removeEventFilter(this); }
  bool pressed = false;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Show && !pressed) {
      if (auto* progress = dynamic_cast<CProgressWnd*>(watched)) {
        pressed = true;
        QPointer<CProgressWnd> guarded(progress);
        QTimer::singleShot(0, [guarded] {
          if (guarded && guarded->WindowExists()) guarded->CancelButton()->click();
        });
      }
    }
    return QObject::eventFilter(watched, event);
  }
};

}  // namespace

class RoundTripTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void init();
  void cleanup();
  void roundTrip_data();
  void roundTrip();
  void cancelledCompressionLeavesNothing();
  void longestArchiveName();
  void wrongPasswordAndCancelledExtraction();

 private:
  void CompressThroughWizard(const QString& source, const QString& name, const QString& rate,
                             const std::optional<QString>& password, int channels);
  void ExtractThroughDialog(const QString& archive, const QString& folderName, const std::optional<QString>& password);

  QTemporaryDir m_settingsDir;
  std::unique_ptr<ScratchFolder> m_scratch;
  std::unique_ptr<CMainFrame> m_frame;
  std::unique_ptr<PromptRecorder> m_prompts;
  std::unique_ptr<DialogScript> m_script;
};

void RoundTripTest::initTestCase() {
  QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_settingsDir.path());
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_settingsDir.path());
}

void RoundTripTest::init() {
  m_scratch = std::make_unique<ScratchFolder>();
  m_frame = std::make_unique<CMainFrame>(false);
  m_frame->show();
  m_prompts = std::make_unique<PromptRecorder>();
  m_script = std::make_unique<DialogScript>();
}

void RoundTripTest::cleanup() {
  QVERIFY2(m_script->failures.isEmpty(), qPrintable(m_script->failures.join("; ")));
  m_script.reset();
  m_prompts.reset();
  m_frame.reset();
  m_scratch.reset();
}

void RoundTripTest::CompressThroughWizard(const QString& source, const QString& name, const QString& rate,
                                          const std::optional<QString>& password, int channels) {
  COstinatoView* view = m_frame->View();
  CCompress1Dlg& options = view->m_optionsPage;
  view->m_pickSource = [source](QWidget*, const QString&) { return source; };
  m_script->Then("CCompressDlg", [name](QDialog* page) {
    auto* destination = static_cast<CCompressDlg*>(page);
    destination->NameEdit()->setText(name);
    destination->NewButton()->click();
  });
  m_script->Then("CCompress1Dlg", [&options, rate, password](QDialog*) {
    options.RateCombo()->setCurrentText(rate);
    (password ? options.m_btnPassword : options.m_btnCompress).click();
  });
  if (password) {
    m_script->Then("CPassDlg", [&options, password](QDialog* dialog) {
      options.m_passDlg.PasswordEdit()->setText(*password);
      dialog->accept();
      QTimer::singleShot(0, &options, [&options] { options.m_btnCompress.click(); });
    });
  }
  if (channels > 0) {
    m_script->Then("CChannelDlg", [&options, channels](QDialog* dialog) {
      (channels == 2 ? options.m_channelDlg.StereoButton() : options.m_channelDlg.MonoButton())->click();
      dialog->accept();
    });
  }
  view->OnCompress();
}

void RoundTripTest::ExtractThroughDialog(const QString& archive, const QString& folderName,
                                         const std::optional<QString>& password) {
  QVERIFY(m_frame->OpenDocumentFile(archive));
  QVERIFY(m_frame->m_actExtract->isEnabled());
  CExtractDlg& extract = m_frame->View()->m_extractDlg;
  m_script->Then("CExtractDlg", [&extract, folderName](QDialog*) {
    QTreeWidgetItem* current = extract.m_tree.currentItem();
    for (int i = 0; i < current->childCount(); ++i) {
      if (current->child(i)->text(0) == folderName) {
        extract.m_tree.setCurrentItem(current->child(i));
        extract.m_tree.OnDblclk();
        break;
      }
    }
    extract.ExtractButton()->click();
  });
  if (password) {
    m_script->Then("CPassDlg", [&extract, password](QDialog* dialog) {
      extract.m_passDlg.PasswordEdit()->setText(*password);
      dialog->accept();
    });
  }
  m_frame->m_actExtract->trigger();
}

void RoundTripTest::roundTrip_data() {
  QTest::addColumn<QString>("kind");
  QTest::addColumn<QString>("rate");
  QTest::addColumn<QString>("password");
  QTest::newRow("sample, Maximum") << "sample" << "Maximum" << "";
  QTest::newRow("sample, Fastest, password") << "sample" << "Fastest" << "s3cret";
  QTest::newRow("stereo wave, Normal") << "stereo" << "Normal" << "";
  QTest::newRow("stereo pcm, Fast, password") << "pcm" << "Fast" << QString::fromUtf8("pässwörd");
  QTest::newRow("long stereo wave, Fastest") << "long" << "Fastest" << "";
}

void RoundTripTest::roundTrip() {
  QFETCH(QString, kind);
  QFETCH(QString, rate);
  QFETCH(QString, password);
  QString source;
  int channels = 0;
  if (kind == "sample") {
    source = m_scratch->File("digits.wav");
    QVERIFY(QFile::copy(OSTINATO_SAMPLES "/digits.wav", source));
  } else if (kind == "stereo") {
    source = m_scratch->Write("stereo.wav", MakeWave(2, 6000));
  } else if (kind == "long") {
    source = m_scratch->Write("long.wav", MakeWave(2, 8000 * 300));
  } else {
    source = m_scratch->Write("take.pcm", MakePcm(2 * 5000));
    channels = 2;
  }
  const std::optional<QString> secret = password.isEmpty() ? std::nullopt : std::optional(password);
  const QString stem = QFileInfo(source).completeBaseName();
  // The real jobs, watched on their way to the progress window.
  ProgressSpy::passes.clear();
  COstinatoView* watched = m_frame->View();
  watched->m_optionsPage.m_runJob = [](const ost::CompressionOptions& options, ost::JobProgress& progress,
                                       ost::ChannelQuestion& question) {
    ProgressSpy spy(progress);
    return ost::CompressionJob(options, spy, question).Run();
  };
  watched->m_extractDlg.m_runJob = [](const ost::ExtractionOptions& options, ost::JobProgress& progress,
                                      ost::PasswordQuestion* question) {
    ProgressSpy spy(progress);
    return ost::ExtractionJob(options, spy, question).Run();
  };

  CompressThroughWizard(source, stem + "-archive", rate, secret, channels);
  QVERIFY2(m_script->Done(), qPrintable(m_script->shown.join(",")));
  QVERIFY2(m_prompts->records.isEmpty(), qPrintable(m_prompts->Texts().join("; ")));
  const QString archive = m_scratch->File(stem + "-archive.otq");
  QVERIFY(QFileInfo(archive).isFile());
  COstinatoView* view = m_frame->View();
  const QStringList row = {view->List().topLevelItem(0)->text(0), view->List().topLevelItem(0)->text(3),
                           view->List().topLevelItem(0)->text(4)};
  QCOMPARE(row, QStringList({QFileInfo(source).fileName(), QString::number(QFileInfo(source).size()),
                             QString::number(QFileInfo(archive).size())}));

  QDir(m_scratch->Path()).mkpath("restored");
  ExtractThroughDialog(archive, "restored", secret);
  QVERIFY2(m_script->Done(), qPrintable(m_script->shown.join(",")));
  QVERIFY2(m_prompts->records.isEmpty(), qPrintable(m_prompts->Texts().join("; ")));
  const QString restoredName = stem + "-archive" + (kind == "pcm" ? ".pcm" : ".wav");
  const QString restored = m_scratch->File("restored/" + restoredName);
  QCOMPARE(ReadAll(restored), ReadAll(source));
  QCOMPARE(view->List().topLevelItem(0)->text(0), restoredName);

  // Each bar the user saw ran to its end, no further: every step announced
  // was made, and the bar was full when its job said it was done.
  // One bar for the whole of each job: compression and extraction.
  QCOMPARE(ProgressSpy::passes.size(), 2);
  for (const ProgressSpy::Pass& pass : ProgressSpy::passes) {
    QCOMPARE(pass.steps, pass.units);
    QVERIFY(pass.fullAtEnd || pass.units == 0);
  }
}

// Any name the file system takes will do: a 249-byte archive name (its
// temporary name beside it must fit too), compressed and extracted again.
void RoundTripTest::longestArchiveName() {
  const QString source = m_scratch->File("digits.wav");
  QVERIFY(QFile::copy(OSTINATO_SAMPLES "/digits.wav", source));
  const QString stem(245, QChar('n'));
  CompressThroughWizard(source, stem, "Fastest", std::nullopt, 0);
  QVERIFY2(m_prompts->records.isEmpty(), qPrintable(m_prompts->Texts().join("; ")));
  const QString archive = m_scratch->File(stem + ".otq");
  QCOMPARE(QFileInfo(archive).fileName().toUtf8().size(), 249);
  QVERIFY(QFileInfo(archive).isFile());
  QDir(m_scratch->Path()).mkpath("restored");
  ExtractThroughDialog(archive, "restored", std::nullopt);
  QVERIFY2(m_prompts->records.isEmpty(), qPrintable(m_prompts->Texts().join("; ")));
  QCOMPARE(ReadAll(m_scratch->File("restored/" + stem + ".wav")), ReadAll(source));
}

void RoundTripTest::cancelledCompressionLeavesNothing() {
  const QString source = m_scratch->File("digits.wav");
  QVERIFY(QFile::copy(OSTINATO_SAMPLES "/digits.wav", source));
  CancelOnShow cancel;
  CompressThroughWizard(source, "cancelled", "Maximum", std::nullopt, 0);
  QVERIFY(cancel.pressed);
  QCOMPARE(m_prompts->Texts(), QStringList({"Compression Cancelled"}));
  QCOMPARE(QDir(m_scratch->Path()).entryList(QDir::Files | QDir::Hidden), QStringList({"digits.wav"}));
  QCOMPARE(m_frame->View()->List().topLevelItemCount(), 0);
  QVERIFY(m_frame->isEnabled());
}

void RoundTripTest::wrongPasswordAndCancelledExtraction() {
  const QString source = m_scratch->File("digits.wav");
  QVERIFY(QFile::copy(OSTINATO_SAMPLES "/digits.wav", source));
  CompressThroughWizard(source, "locked", "Normal", QString("right"), 0);
  const QString archive = m_scratch->File("locked.otq");
  QVERIFY(QFileInfo(archive).isFile());
  QDir(m_scratch->Path()).mkpath("restored");

  ExtractThroughDialog(archive, "restored", QString("wrong"));
  QCOMPARE(m_prompts->Texts(), QStringList({"You have Entered the WRONG PASSWORD!"}));
  QCOMPARE(m_prompts->records[0].caption, QString("Wrong Password!"));
  QVERIFY(QDir(m_scratch->File("restored")).isEmpty());
  QCOMPARE(m_frame->View()->List().topLevelItem(0)->text(0), QString("locked.otq"));

  m_prompts->Clear();
  CancelOnShow cancel;
  ExtractThroughDialog(archive, "restored", QString("right"));
  QVERIFY(cancel.pressed);
  QCOMPARE(m_prompts->Texts(), QStringList({"Extraction Cancelled"}));
  QVERIFY(QDir(m_scratch->File("restored")).isEmpty());
  QVERIFY(m_frame->isEnabled());
}

QTEST_MAIN(RoundTripTest)
#include "tst_roundtrip.moc"
