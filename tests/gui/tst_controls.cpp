// The dialogs and controls on their own: progress window, folder tree,
// destination page, extract dialog, password, channel and picture dialogs.
#include <QtTest>

#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStyleHints>

#include "GuiTestSupport.h"
#include "app/AboutDlg.h"
#include "controls/ChannelDlg.h"
#include "controls/Compress1Dlg.h"
#include "controls/CompressDlg.h"
#include "controls/ExtractDlg.h"
#include "controls/PassDlg.h"
#include "controls/ProgressWnd1.h"
#include "controls/Settings.h"
#include "controls/TestDialog.h"
#include "controls/WaveSound.h"

class ControlsTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void init();

  void progressCaption();
  void progressEmptyRange();
  void progressJobInterface();
  void progressBarReachesItsEnd_data();
  void progressBarReachesItsEnd();
  void progressCancelButton();
  void progressCloseBoxCancels();
  void progressEscape();
  void progressPosition();
  void progressPositionOffScreen();
  void progressPositionAtTheEdge();

  void treeShowsChain();
  void treeDescendAndAscend();

  void destinationPage();
  void extractDialogEnter();

  void passwordDialog();
  void passwordTooLong();
  void passwordOutsideTheCodePage();
  void channelDialog();
  void pictureDialog();
  void waveSoundRefusesWhatItCannotPlay();

  void controlsLieOnTop();
  void longPathsWrapInMessages();
  void aQuestionDoesNotTakeTheClickBeforeIt();

 private:
  QTemporaryDir m_settingsDir;
  QWidget* m_main = nullptr;
};

void ControlsTest::initTestCase() {
  QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_settingsDir.path());
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_settingsDir.path());
  m_main = new QWidget;
  m_main->resize(400, 300);
  m_main->show();
  CProgressWnd::SetMainWindow(m_main);
}

void ControlsTest::init() {
  gui::AppSettings().clear();
  m_main->setEnabled(true);
}

void ControlsTest::progressCaption() {
  CProgressWnd progress(nullptr, QStringLiteral("Progress"), false);
  progress.SetRange(0, 1000, 1);
  progress.StepIt();
  QCOMPARE(progress.windowTitle(), QString("Progress"));
  for (int i = 0; i < 9; ++i) progress.StepIt();
  QCOMPARE(progress.windowTitle(), QString("Progress [1%]"));
  progress.SetPos(420);
  QCOMPARE(progress.windowTitle(), QString("Progress [42%]"));
  progress.SetPos(1500);  // not clamped
  QCOMPARE(progress.windowTitle(), QString("Progress [150%]"));
  // Long jobs: position times 100 does not fit 32 bits.
  progress.SetRange(0, 3000000000LL, 1);
  progress.SetPos(2400000000LL);
  QCOMPARE(progress.windowTitle(), QString("Progress [80%]"));
}

void ControlsTest::progressEmptyRange() {
  CProgressWnd progress(nullptr, QStringLiteral("Progress"), false);
  progress.SetRange(0, 0, 1);
  for (int i = 0; i < 5; ++i) progress.StepIt();
  QCOMPARE(progress.windowTitle(), QString("Progress"));
}

void ControlsTest::progressJobInterface() {
  CProgressWnd progress(nullptr, QStringLiteral("Progress"), false);
  progress.Hide();
  ost::JobProgress& job = progress;
  job.Begin("Ostinato 3 is compressing your file\n\nPlease wait......", 4);
  QVERIFY(progress.isVisible());
  QVERIFY(progress.IsModal());
  QVERIFY(!m_main->isEnabled());
  QCOMPARE(progress.Text(), QString("Ostinato 3 is compressing your file\n\nPlease wait......"));
  job.Step();
  job.Step();
  QCOMPARE(progress.windowTitle(), QString("Progress [50%]"));
  QVERIFY(!job.IsCancelled());
  job.End();
  QVERIFY(m_main->isEnabled());
  QVERIFY(!progress.isVisible());
}

void ControlsTest::progressBarReachesItsEnd_data() {
  QTest::addColumn<qint64>("units");
  QTest::newRow("one step") << qint64(1);
  QTest::newRow("three steps") << qint64(3);
  QTest::newRow("a thousand") << qint64(1000);
  QTest::newRow("two hundred thousand") << qint64(200000);
}

// A job that makes exactly the steps it announced fills the bar, and not
// before its last step: whatever the number of steps, the bar's value is
// scaled to the bar's own range.
void ControlsTest::progressBarReachesItsEnd() {
  QFETCH(qint64, units);
  CProgressWnd progress(nullptr, QStringLiteral("Progress"), false);
  ost::JobProgress& job = progress;
  auto* bar = progress.findChild<QProgressBar*>();
  QVERIFY(bar);
  job.Begin("Ostinato 3 is compressing your file\n\nPlease wait......", static_cast<std::uint64_t>(units));
  QCOMPARE(bar->value(), bar->minimum());
  QElapsedTimer clock;
  clock.start();
  for (qint64 i = 1; i < units; ++i) job.Step();
  QVERIFY2(bar->value() < bar->maximum(), "full before the last step");
  job.Step();
  qInfo("%lld steps in %lld ms", static_cast<long long>(units), static_cast<long long>(clock.elapsed()));
  QCOMPARE(bar->value(), bar->maximum());
  QCOMPARE(progress.windowTitle(), QString("Progress [100%]"));
  job.End();

  // A range past 32 bits: the middle is the middle, the end is the end.
  CProgressWnd wide(nullptr, QStringLiteral("Progress"), false);
  auto* wideBar = wide.findChild<QProgressBar*>();
  wide.SetRange(0, 6000000000LL, 1);
  wide.SetPos(3000000000LL);
  QCOMPARE(wideBar->value() - wideBar->minimum(), (wideBar->maximum() - wideBar->minimum()) / 2);
  wide.SetPos(6000000000LL);
  QCOMPARE(wideBar->value(), wideBar->maximum());
}

// A window manager may give the progress window a close box although it
// asks for none: closing the window cancels the job, it does not leave the
// job running without a window.
void ControlsTest::progressCloseBoxCancels() {
  CProgressWnd progress(nullptr, QStringLiteral("Progress"), false);
  ost::JobProgress& job = progress;
  job.Begin("Ostinato 3 is compressing your file\n\nPlease wait......", 10);
  job.Step();
  QVERIFY(progress.isVisible());
  progress.close();
  job.Step();
  QVERIFY(job.IsCancelled());
  QVERIFY(!progress.isVisible());
  job.Step();
  QVERIFY(!progress.isVisible());  // and it does not come back
  job.End();
  QVERIFY(m_main->isEnabled());
}

void ControlsTest::progressCancelButton() {
  CProgressWnd progress(nullptr, QStringLiteral("Progress"), false);
  QVERIFY(progress.BeginModal());
  progress.SetRange(0, 10, 1);
  progress.StepIt();
  QVERIFY(!m_main->isEnabled());
  // Shown with Cancel under a pointer that has not moved: a click at once
  // was meant for what lay there before (the second click of a double-click
  // on the button that started the job); one after a double-click's time
  // is the person's.
  progress.Hide();
  QCursor::setPos(progress.CancelButton()->mapToGlobal(progress.CancelButton()->rect().center()));
  progress.Show();
  QTest::mouseClick(progress.CancelButton(), Qt::LeftButton);
  QTest::mouseDClick(progress.CancelButton(), Qt::LeftButton);
  QVERIFY(!progress.IsCancelled());
  QTest::qWait(QGuiApplication::styleHints()->mouseDoubleClickInterval() + 50);
  QTest::mouseClick(progress.CancelButton(), Qt::LeftButton);
  QVERIFY(progress.IsCancelled());
  QVERIFY(!progress.isVisible());
  QVERIFY(!progress.WindowExists());
  // The window is gone, the main window comes back only when the job ends.
  QVERIFY(!m_main->isEnabled());
  progress.StepIt();
  QVERIFY(!progress.isVisible());
  progress.End();
  QVERIFY(m_main->isEnabled());
  QVERIFY(!gui::AppSettings().contains("Settings/X"));  // no position saved after a cancel
}

void ControlsTest::progressEscape() {
  CProgressWnd progress(nullptr, QStringLiteral("Progress"), false);
  QVERIFY(progress.BeginModal());
  progress.SetRange(0, 10, 1);
  // Escape meant for another window cancels too, and that window never sees it.
  QLineEdit other;
  other.show();
  QCoreApplication::postEvent(&other, new QKeyEvent(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier));
  progress.Step();
  QVERIFY(progress.IsCancelled());
  QVERIFY(!progress.isVisible());
  progress.End();
  QVERIFY(m_main->isEnabled());
}

void ControlsTest::progressPosition() {
  {
    CProgressWnd progress(nullptr, QStringLiteral("Progress"), false);
    progress.BeginModal();
    progress.move(50, 60);
    progress.End();
  }
  QCOMPARE(gui::AppSettings().value("Settings/X").toInt(), 50);
  QCOMPARE(gui::AppSettings().value("Settings/Y").toInt(), 60);
  CProgressWnd next(nullptr, QStringLiteral("Progress"), false);
  QCOMPARE(next.frameGeometry().topLeft(), QPoint(50, 60));
}

void ControlsTest::progressPositionOffScreen() {
  const QRect owner = m_main->frameGeometry();
  for (const QPoint& stored : {QPoint(-1, -1), QPoint(100000, 20)}) {
    gui::AppSettings().setValue("Settings/X", stored.x());
    gui::AppSettings().setValue("Settings/Y", stored.y());
    CProgressWnd progress(m_main, QStringLiteral("Progress"), false);
    QVERIFY2(qAbs(progress.frameGeometry().center().x() - owner.center().x()) <= 2, "centred on its owner");
    QVERIFY(qAbs(progress.frameGeometry().center().y() - owner.center().y()) <= 2);
  }
}

// Left hanging over the screen's edge (or remembered from a larger screen),
// the window would open with its Cancel button out of reach: it is moved
// just far enough to show whole.
void ControlsTest::progressPositionAtTheEdge() {
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  for (const QPoint& stored : {QPoint(screen.right() - 5, 30), QPoint(40, screen.bottom() - 5),
                               QPoint(screen.right() - 5, screen.bottom() - 5)}) {
    gui::AppSettings().setValue("Settings/X", stored.x());
    gui::AppSettings().setValue("Settings/Y", stored.y());
    CProgressWnd progress(nullptr, QStringLiteral("Progress"), false);
    const QRect frame = progress.frameGeometry();
    QVERIFY2(screen.contains(frame), qPrintable(QStringLiteral("window at %1,%2 %3x%4")
                                                    .arg(frame.x()).arg(frame.y()).arg(frame.width()).arg(frame.height())));
    // Only about as far as needed: it stops near the edge it hung over.
    if (stored.x() > screen.center().x()) QVERIFY(frame.right() >= screen.right() - 20);
    else QCOMPARE(frame.x(), stored.x());
    if (stored.y() > screen.center().y()) QVERIFY(frame.bottom() >= screen.bottom() - 40);
    else QCOMPARE(frame.y(), stored.y());
  }
}

void ControlsTest::treeShowsChain() {
  ScratchFolder scratch;
  QDir(scratch.Path()).mkpath("a/b/x");
  QDir(scratch.Path()).mkpath("a/b/Y");
  QDir(scratch.Path()).mkpath("a/b/.hidden");
  QDir(scratch.Path()).mkpath("a/b/z");
  scratch.Write("a/b/file.wav", "not a folder");
  const QString b = QDir(scratch.Path()).filePath("a/b");
  CDriveCombo::SetCurrentFolder(b);

  CDirectoryTree tree;
  QVERIFY(tree.ShowCurrentFolder());
  QCOMPARE(tree.GetPath(), b);
  QTreeWidgetItem* current = tree.currentItem();
  QVERIFY(current);
  QCOMPARE(current->text(0), QString("b"));
  QStringList children;
  for (int i = 0; i < current->childCount(); ++i) children << current->child(i)->text(0);
  QCOMPARE(children, QStringList({".hidden", "x", "Y", "z"}));
  // Above it, a chain of items with one child each, from the mount point down.
  QStringList chain;
  for (QTreeWidgetItem* item = current; item; item = item->parent()) {
    chain.prepend(item->text(0));
    QCOMPARE(item->data(0, CDirectoryTree::kKindRole).toInt(), int(CDirectoryTree::Chain));
    if (item != current) QCOMPARE(item->childCount(), 1);
  }
  QCOMPARE(chain, QStringList(tree.m_strDrive) + b.mid(tree.m_strDrive.size()).split('/', Qt::SkipEmptyParts));
  QCOMPARE(tree.topLevelItemCount(), 1);
}

void ControlsTest::treeDescendAndAscend() {
  ScratchFolder scratch;
  QDir(scratch.Path()).mkpath("a/b/x/deep");
  QDir(scratch.Path()).mkpath("a/b/y");
  QDir(scratch.Path()).mkpath("a/c");
  const QString b = QDir(scratch.Path()).filePath("a/b");
  CDriveCombo::SetCurrentFolder(b);
  CDirectoryTree tree;
  tree.ShowCurrentFolder();
  QSignalSpy changed(&tree, &CDirectoryTree::folderChanged);

  // Into the subfolder x: its siblings go, its own subfolders are listed.
  QTreeWidgetItem* current = tree.currentItem();
  QTreeWidgetItem* x = current->child(0);
  QCOMPARE(x->text(0), QString("x"));
  tree.setCurrentItem(x);
  tree.OnDblclk();
  QCOMPARE(tree.GetPath(), b + "/x");
  QCOMPARE(changed.count(), 1);
  QCOMPARE(current->childCount(), 1);
  QCOMPARE(x->data(0, CDirectoryTree::kKindRole).toInt(), int(CDirectoryTree::Chain));
  QCOMPARE(x->childCount(), 1);
  QCOMPARE(x->child(0)->text(0), QString("deep"));

  // The current folder again: nothing happens.
  tree.OnDblclk();
  QCOMPARE(changed.count(), 1);
  QCOMPARE(tree.GetPath(), b + "/x");

  // Up to a: the chain below it goes and a's subfolders are listed.
  QTreeWidgetItem* a = current->parent();
  tree.setCurrentItem(a);
  tree.OnDblclk();
  QCOMPARE(tree.GetPath(), QDir(scratch.Path()).filePath("a"));
  QCOMPARE(changed.count(), 2);
  QStringList children;
  for (int i = 0; i < a->childCount(); ++i) children << a->child(i)->text(0);
  QCOMPARE(children, QStringList({"b", "c"}));

  // Up to the root item: the path is the mount point itself.
  QTreeWidgetItem* root = tree.topLevelItem(0);
  tree.setCurrentItem(root);
  tree.OnDblclk();
  QCOMPARE(tree.GetPath(), tree.m_strDrive);
}

void ControlsTest::destinationPage() {
  ScratchFolder scratch;
  QDir(scratch.Path()).mkpath("inner");
  CCompressDlg page;
  PromptRecorder prompts;
  DialogScript script;
  script.Then("CCompressDlg", [&](QDialog*) {
    QCOMPARE(page.PathDisplay()->text(), scratch.Path());
    QCOMPARE(page.m_strFolder, scratch.Path() + "/");
    QCOMPARE(page.focusWidget(), page.NameEdit());
    // A double-click in the tree moves the folder, not the field.
    // Enter in the tree opens the folder; it does not end the page.
    QTreeWidgetItem* inner = page.m_tree.currentItem()->child(0);
    page.m_tree.setCurrentItem(inner);
    page.m_tree.setFocus();
    QTest::keyClick(&page.m_tree, Qt::Key_Return);
    QVERIFY(page.isVisible());
    QCOMPARE(page.m_strFolder, scratch.Path() + "/inner/");
    QCOMPARE(page.PathDisplay()->text(), scratch.Path() + "/inner");
    QTest::keyClicks(page.NameEdit(), "song");
    QTest::keyClick(page.NameEdit(), Qt::Key_Return);  // New is the default button
  });
  QCOMPARE(page.exec(), int(QDialog::Accepted));
  QVERIFY(script.failures.isEmpty());
  QCOMPARE(page.m_strNewName, QString("song"));

  // The name is kept for the next run; Escape cancels.
  script.Then("CCompressDlg", [&](QDialog*) {
    QCOMPARE(page.NameEdit()->text(), QString("song"));
    QTest::keyClick(page.NameEdit(), Qt::Key_Escape);
  });
  QCOMPARE(page.exec(), int(QDialog::Rejected));
  QVERIFY(prompts.records.isEmpty());
}

void ControlsTest::extractDialogEnter() {
  ScratchFolder scratch;
  CExtractDlg dialog;
  int jobs = 0;
  dialog.m_runJob = [&](const ost::ExtractionOptions&, ost::JobProgress&, ost::PasswordQuestion*) {
    ++jobs;
    return ost::ExtractionResult{};
  };
  DialogScript script;
  script.Then("CExtractDlg", [&](QDialog*) {
    QCOMPARE(dialog.PathEdit()->text(), scratch.Path());
    QCOMPARE(dialog.m_strTargetPath, scratch.Path() + "/");
    // The folder is shown, not typed: the field looks it (it looked like
    // one to type into, and what was typed went unused).
    QVERIFY(dialog.PathEdit()->isReadOnly());
    QCOMPARE(dialog.PathEdit()->palette().color(QPalette::Base), dialog.palette().color(QPalette::Window));
    QTest::keyClick(dialog.focusWidget(), Qt::Key_Return);
  });
  dialog.exec();
  QVERIFY(script.failures.isEmpty());
  QCOMPARE(jobs, 0);
  QCOMPARE(dialog.m_bExtracted, 0);
}

void ControlsTest::passwordDialog() {
  CPassDlg dialog;
  QCOMPARE(dialog.PasswordEdit()->echoMode(), QLineEdit::Password);
  DialogScript script;
  script.Then("CPassDlg", [&](QDialog*) {
    // What is typed as the dialog opens goes into the field: with the focus
    // on OK it went nowhere, and Enter then confirmed an empty password.
    QCOMPARE(dialog.focusWidget(), static_cast<QWidget*>(dialog.PasswordEdit()));
    QTest::keyClicks(dialog.focusWidget(), "abcdefghijklmnopqrst");
    QCOMPARE(dialog.PasswordEdit()->text(), QString("abcdefghijklmn"));
    // All 14 characters show in the field.
    QLineEdit* edit = dialog.PasswordEdit();
    const QChar mask(edit->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr, edit));
    QVERIFY(edit->fontMetrics().horizontalAdvance(QString(14, mask)) < edit->contentsRect().width() - 4);
    QTest::keyClick(dialog.PasswordEdit(), Qt::Key_Return);
  });
  QCOMPARE(dialog.exec(), int(QDialog::Accepted));
  QCOMPARE(dialog.m_strPassword, QString("abcdefghijklmn"));

  script.Then("CPassDlg", [&](QDialog* shown) {
    QTest::keyClicks(dialog.PasswordEdit(), "zz");
    shown->reject();
  });
  QCOMPARE(dialog.exec(), int(QDialog::Rejected));
  QCOMPARE(dialog.m_strPassword, QString("abcdefghijklmn"));

  dialog.m_strPassword.clear();
  script.Then("CPassDlg", [&](QDialog* shown) { shown->accept(); });
  QCOMPARE(dialog.exec(), int(QDialog::Accepted));
  QCOMPARE(dialog.m_strPassword, QString());
  QVERIFY(script.failures.isEmpty());
}

void ControlsTest::passwordTooLong() {
  CPassDlg dialog;
  PromptRecorder prompts;
  dialog.PasswordEdit()->setMaxLength(40);
  DialogScript script;
  script.Then("CPassDlg", [&](QDialog* shown) {
    dialog.PasswordEdit()->setText("123456789012345");
    shown->accept();
    QVERIFY(shown->isVisible());
    QCOMPARE(prompts.Texts(), QStringList({"Please enter no more than 14 characters."}));
    shown->reject();
  });
  QCOMPARE(dialog.exec(), int(QDialog::Rejected));
}

// A new archive's password that its code page cannot store is refused where
// it is typed (it was refused only when Compress was pressed, by a message
// that began in lower case, and stayed set); a password asked for to
// extract is taken as typed, since older archives may hold such one.
void ControlsTest::passwordOutsideTheCodePage() {
  CPassDlg dialog;
  PromptRecorder prompts;
  DialogScript script;
  script.Then("CPassDlg", [&](QDialog* shown) {
    dialog.PasswordEdit()->setText(QString::fromUtf8("пароль"));
    shown->accept();
    QVERIFY(shown->isVisible());
    QCOMPARE(prompts.Texts().size(), 1);
    QVERIFY2(prompts.Texts()[0].startsWith(QString::fromUtf8("The password holds \"п\"")), qPrintable(prompts.Texts()[0]));
    dialog.PasswordEdit()->setText(QString::fromUtf8("café€"));
    shown->accept();
  });
  QCOMPARE(dialog.exec(), int(QDialog::Accepted));
  QCOMPARE(dialog.m_strPassword, QString::fromUtf8("café€"));
  dialog.SetArchive("old.otq");
  script.Then("CPassDlg", [&](QDialog* shown) {
    dialog.PasswordEdit()->setText(QString::fromUtf8("пароль"));
    shown->accept();
  });
  QCOMPARE(dialog.exec(), int(QDialog::Accepted));
  QCOMPARE(dialog.m_strPassword, QString::fromUtf8("пароль"));
  QCOMPARE(prompts.Texts().size(), 1);
}

void ControlsTest::channelDialog() {
  CChannelDlg dialog;
  DialogScript script;
  script.Then("CChannelDlg", [&](QDialog* shown) {
    QVERIFY(dialog.MonoButton()->isChecked());  // Mono the first time
    dialog.StereoButton()->click();
    shown->accept();
  });
  QCOMPARE(dialog.AskChannels("x.pcm"), std::optional(ost::ChannelLayout::Stereo));

  script.Then("CChannelDlg", [&](QDialog* shown) {
    QVERIFY(dialog.StereoButton()->isChecked());  // the last choice
    dialog.MonoButton()->click();
    shown->close();  // the close box counts as Cancel
  });
  QCOMPARE(dialog.AskChannels("x.pcm"), std::nullopt);
  QVERIFY(!dialog.m_bAccepted);
  QCOMPARE(dialog.m_nChannelMode, 1);
  QVERIFY(script.failures.isEmpty());
}

void ControlsTest::pictureDialog() {
  CTestDialog picture;
  DialogScript script;
  script.Then("CTestDialog", [&](QDialog* shown) { QTest::mouseClick(shown, Qt::LeftButton, {}, QPoint(200, 100)); });
  QCOMPARE(picture.exec(), int(QDialog::Accepted));
  script.Then("CTestDialog", [&](QDialog* shown) { QTest::keyClick(shown, Qt::Key_Return); });
  QCOMPARE(picture.exec(), int(QDialog::Accepted));
  script.Then("CTestDialog", [&](QDialog* shown) { QTest::keyClick(shown, Qt::Key_Escape); });
  QCOMPARE(picture.exec(), int(QDialog::Rejected));
  QVERIFY(script.failures.isEmpty());
}

void ControlsTest::waveSoundRefusesWhatItCannotPlay() {
  ScratchFolder scratch;
  CWaveSound sound;
  QVERIFY(!sound.PlayFile(scratch.Write("take.pcm", MakePcm(100))));
  QVERIFY(!sound.PlayFile(scratch.File("missing.wav")));
  QVERIFY(!sound.IsPlaying());
  sound.Stop();
}

// A control that something else covers cannot be clicked: the mouse reaches
// whatever lies on top. In every window each control that takes input is
// the widget found at each of its corners and at its centre.
void ControlsTest::controlsLieOnTop() {
  ScratchFolder scratch;
  CCompressDlg destination;
  CCompress1Dlg options;
  CExtractDlg extract;
  CPassDlg password;
  CChannelDlg channels;
  CAboutDlg about;
  CProgressWnd progress(nullptr, QStringLiteral("Progress"), false);
  const QList<QWidget*> windows = {&destination, &options, &extract, &password, &channels, &about, &progress};
  for (QWidget* window : windows) {
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    int checked = 0;
    for (QWidget* control : window->findChildren<QWidget*>()) {
      if (!control->isVisible() || control->focusPolicy() == Qt::NoFocus || control->isWindow()) continue;
      if (control->parentWidget() != window) continue;  // parts of a control belong to it
      const QRect area = control->geometry().adjusted(2, 2, -2, -2);
      for (const QPoint& point : {area.center(), area.topLeft(), area.topRight(), area.bottomLeft(), area.bottomRight()}) {
        QWidget* hit = window->childAt(point);
        QVERIFY2(hit == control || control->isAncestorOf(hit),
                 qPrintable(QStringLiteral("%1: %2 \"%3\" is covered by %4 at (%5, %6)")
                                .arg(window->metaObject()->className(), control->metaObject()->className(),
                                     control->property("text").toString(),
                                     hit ? hit->metaObject()->className() : "nothing")
                                .arg(point.x())
                                .arg(point.y())));
      }
      ++checked;
    }
    QVERIFY2(checked > 0, window->metaObject()->className());
    window->hide();
  }
}

// A message naming a long path (a 249-byte file name) neither grows past the
// screen nor cuts the name off: the path wraps, every character shown.
void ControlsTest::longPathsWrapInMessages() {
  const QString path = "/tmp/takes/" + QString(249 - 4, 'a') + ".otq";
  const QString text = "cannot write " + path + ": File name too long";
  QString shown;
  int boxWidth = 0, screenWidth = 0, longestPiece = 0, labelWidth = 0;
  QTimer::singleShot(0, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return;
    if (auto* label = box->findChild<QLabel*>("qt_msgbox_label")) {
      shown = label->text();
      longestPiece = label->minimumSizeHint().width();
      labelWidth = label->width();
    }
    boxWidth = box->frameGeometry().width();
    screenWidth = box->screen()->availableGeometry().width();
    box->accept();
  });
  gui::ShowMessage(nullptr, text, gui::PromptIcon::Stop);
  shown.remove(QChar(0x200B));
  QCOMPARE(shown, text);
  QVERIFY2(boxWidth < screenWidth * 3 / 4, qPrintable(QString::number(boxWidth)));
  QVERIFY2(longestPiece <= labelWidth, "the longest piece of the text fits the box");
}

// A question that appears with its Yes under a pointer that has not moved
// (a long name makes the box tall enough to cover the Extract button) does
// not take the second click of a double-click meant for what lay there: it
// would answer "overwrite" unseen.
void ControlsTest::aQuestionDoesNotTakeTheClickBeforeIt() {
  QStyleHints* hints = QGuiApplication::styleHints();
  const int interval = hints->mouseDoubleClickInterval();
  hints->setMouseDoubleClickInterval(300);
  const auto restore = qScopeGuard([&] { hints->setMouseDoubleClickInterval(interval); });
  const QPoint pointer(300, 200);
  QCursor::setPos(pointer);
  bool openAfterTheQuickClicks = false;
  QTimer::singleShot(0, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return;
    QAbstractButton* yes = box->button(QMessageBox::Yes);
    box->move(box->pos() + pointer - yes->mapToGlobal(yes->rect().center()));
    QTest::mouseClick(yes, Qt::LeftButton);
    QTest::mouseDClick(yes, Qt::LeftButton);
    openAfterTheQuickClicks = box->isVisible();
    if (!openAfterTheQuickClicks) return;
    QTest::qWait(350);
    QTest::mouseClick(yes, Qt::LeftButton);  // the person's own, later
    if (box->isVisible()) box->reject();
  });
  const gui::PromptAnswer answer =
      gui::Prompt(nullptr, {QStringLiteral("Warning"), QStringLiteral("x.wav already exist.\nYou want to overwrite it?"),
                            gui::PromptIcon::Exclamation, gui::PromptButtons::YesNo});
  QVERIFY(openAfterTheQuickClicks);
  QVERIFY(answer == gui::PromptAnswer::Yes);
}

QTEST_MAIN(ControlsTest)
#include "tst_controls.moc"
