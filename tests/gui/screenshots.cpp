// Draws the main window and each dialog into PNG files, for the documentation
// and for looking at the program without clicking through it:
//   gui_screenshots OUTPUT_FOLDER
// The main window shows the row of a real compression of the sample recording.
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QEnterEvent>
#include <QLineEdit>
#include <QTimer>

#include "GuiTestSupport.h"
#include "app/AboutDlg.h"
#include "app/HelpWindow.h"
#include "app/MainFrm.h"
#include "app/Ostinato.h"
#include "app/OstinatoView.h"
#include "controls/ProgressWnd1.h"
#include "controls/TestDialog.h"

namespace {

QString g_out;

void Save(QWidget* widget, const QString& name) {
  QApplication::processEvents();
  widget->grab().save(QDir(g_out).filePath(name + ".png"));
}

// Shows `dialog` modally, lets `prepare` set it up, saves it and closes it.
void Shoot(QDialog* dialog, const QString& name, std::function<void()> prepare = {}) {
  QTimer::singleShot(300, dialog, [dialog, name, prepare] {
    if (prepare) prepare();
    Save(dialog, name);
    dialog->reject();
  });
  dialog->exec();
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc < 2) return 2;
  g_out = QString::fromLocal8Bit(argv[1]);
  QDir().mkpath(g_out);
  ScratchFolder scratch;
  QDir(scratch.Path()).mkpath("restored");
  QDir(scratch.Path()).mkpath("takes");
  const QString source = scratch.File("digits.wav");
  QFile::copy(OSTINATO_SAMPLES "/digits.wav", source);

  CMainFrame frame(false);
  frame.show();
  COstinatoView* view = frame.View();
  CCompress1Dlg& options = view->m_optionsPage;
  PromptRecorder prompts;

  // A real compression through the wizard, pictures taken on the way.
  view->m_pickSource = [&](QWidget*, const QString&) { return source; };
  auto script = std::make_unique<DialogScript>();
  script->Then("CCompressDlg", [&](QDialog* page) {
    auto* destination = static_cast<CCompressDlg*>(page);
    destination->NameEdit()->setText("digits");
    QTimer::singleShot(300, page, [=] {
      Save(page, "destination-page");
      destination->NewButton()->click();
    });
  });
  script->Then("CCompress1Dlg", [&](QDialog* page) {
    options.RateCombo()->setCurrentText("Maximum");
    QTimer::singleShot(300, page, [&, page] {
      Save(page, "options-page");
      // The same with the pointer over Compress: raised frame, hover icon.
      QEnterEvent enter(QPointF(4, 4), QPointF(4, 4), options.m_btnCompress.mapToGlobal(QPointF(4, 4)));
      QApplication::sendEvent(&options.m_btnCompress, &enter);
      Save(page, "options-page-hover");
      QEvent leave(QEvent::Leave);
      QApplication::sendEvent(&options.m_btnCompress, &leave);
      options.m_btnCompress.click();
    });
  });
  view->OnCompress();
  const bool scripted = script->failures.isEmpty() && script->Done();
  script.reset();
  Save(&frame, "main-window");

  // The archive opened, and the extract dialog.
  frame.OpenDocumentFile(scratch.File("digits.otq"));
  Save(&frame, "main-window-open");
  Shoot(&view->m_extractDlg, "extract-dialog", [&] {
    // As after one click on a subfolder: it alone is selected.
    CDirectoryTree& tree = view->m_extractDlg.m_tree;
    QTreeWidgetItem* current = tree.currentItem();
    for (int i = 0; i < current->childCount(); ++i)
      if (current->child(i)->text(0) == "restored") tree.setCurrentItem(current->child(i));
  });

  {
    CProgressWnd progress(&frame, QStringLiteral("Progress"), false);
    progress.Begin("Ostinato 3 is compressing your file\n\nPlease wait......", 100);
    for (int i = 0; i < 42; ++i) progress.StepIt();
    Save(&progress, "progress");
    progress.End();
  }
  Shoot(&options.m_passDlg, "password");
  Shoot(&options.m_channelDlg, "channels");
  CTestDialog picture(&frame);
  Shoot(&picture, "title-picture");
  CAboutDlg about(&frame);
  Shoot(&about, "about");
  CHelpWindow help;
  help.ShowPage(COstinatoApp::HelpPage(QString()));
  Save(&help, "help");
  help.close();
  return scripted && prompts.records.isEmpty() ? 0 : 1;
}
