#include "controls/ExtractDlg.h"

#include <QCloseEvent>
#include <QElapsedTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>

#include "common/Errors.h"
#include "common/PendingOutput.h"
#include "controls/CompressDlg.h"
#include "controls/DialogUnits.h"
#include "controls/NativePath.h"
#include "controls/JobGuard.h"
#include "controls/ProgressWnd1.h"
#include "controls/Prompt.h"

namespace {

ost::ExtractionResult RunExtraction(const ost::ExtractionOptions& options, ost::JobProgress& progress,
                                    ost::PasswordQuestion* password) {
  return ost::ExtractionJob(options, progress, password).Run();
}

}  // namespace

CExtractDlg::CExtractDlg(QWidget* parent)
    : QDialog(parent), m_tree(this), m_driveCombo(this), m_passDlg(this),
      m_runJob(RunExtraction), m_btnExtract(QStringLiteral("&Extract"), this),
      m_btnCancel(QStringLiteral("Cancel"), this) {
  setWindowTitle(QStringLiteral("Extract"));
  const gui::DialogUnits du(this);
  du.Size(this, 216, 192);

  du.Place(&m_btnCancel, 150, 141, 60, 24);  // first in the tab order: it has the focus
  du.Place(new QLabel(QStringLiteral("Extract to :"), this), 7, 7, 60, 8);
  du.Place(&m_btnExtract, 150, 112, 60, 24);
  du.Place(&m_tree, 7, 41, 138, 74);
  du.Place(&m_driveCombo, 7, 134, 137, 14);
  m_editPath = new QLineEdit(this);
  du.Place(m_editPath, 7, 20, 138, 15);
  // The destination is the tree's folder; typing would not change it. The
  // field takes the dialog's colour, as a read-only field does, so that it
  // does not look like one to type into.
  m_editPath->setReadOnly(true);
  QPalette shown = m_editPath->palette();
  shown.setColor(QPalette::Base, palette().color(QPalette::Window));
  m_editPath->setPalette(shown);
  du.Place(new QLabel(QStringLiteral("Select Drive :"), this), 7, 122, 60, 10);
  m_btnCancel.setAutoDefault(false);
  m_btnExtract.setAutoDefault(false);
  setTabOrder(&m_btnCancel, &m_btnExtract);
  setTabOrder(&m_btnExtract, &m_tree);
  setTabOrder(&m_tree, &m_driveCombo);
  setTabOrder(&m_driveCombo, m_editPath);

  connect(&m_btnExtract, &QPushButton::clicked, this, &CExtractDlg::OnExtractButton);
  connect(&m_btnCancel, &QPushButton::clicked, this, &CExtractDlg::reject);
  connect(&m_driveCombo, &QComboBox::activated, this, &CExtractDlg::OnSelChangeDrive);
  connect(&m_tree, &CDirectoryTree::folderChanged, this, &CExtractDlg::OnFolderChanged);
}

int CExtractDlg::exec() {
  OnInitDialog();
  return QDialog::exec();
}

void CExtractDlg::OnInitDialog() {
  m_btnExtract.SetIcons(QIcon(QStringLiteral(":/buttons/185.svg")), QIcon(QStringLiteral(":/buttons/186.svg")), 32, 32);
  m_btnCancel.SetIcons(QIcon(QStringLiteral(":/buttons/187.svg")), QIcon(), 32, 32);
  // The keyboard user sees which icon button has the focus.
  for (CBtnST* button : {&m_btnExtract, &m_btnCancel}) button->SetFlatFocus(true);
  m_bExtracted = 0;
  m_driveCombo.FillDrives();
  m_tree.ShowCurrentFolder();
  m_driveCombo.SelectDrive(m_tree.m_strDrive);
  OnFolderChanged();
  m_btnCancel.setFocus();
}

void CExtractDlg::OnSelChangeDrive(int index) {
  if (m_driveCombo.IsDriveReady(index)) {
    m_tree.m_strDrive = m_driveCombo.DriveAt(index);
    m_tree.ShowCurrentFolder();
    OnFolderChanged();
  } else {
    m_driveCombo.SelectDrive(m_tree.m_strDrive);
  }
}

void CExtractDlg::OnFolderChanged() {
  m_editPath->setText(QDir::toNativeSeparators(m_tree.GetPath()));
  m_editPath->setCursorPosition(0);
  m_strTargetPath = WithSeparator(m_tree.GetPath());
}

std::optional<std::string> CExtractDlg::AskPassword(const std::filesystem::path&) {
  m_passDlg.SetArchive(m_strArchiveName);
  // Over this dialog when it is on screen; Play asks without showing it,
  // and the question then goes over the main window, where the person is
  // looking, instead of where this dialog would stand.
  const QWidget* over = isVisible() || !parentWidget() ? static_cast<const QWidget*>(this) : parentWidget()->window();
  m_passDlg.move(over->frameGeometry().center() - QPoint(m_passDlg.width() / 2, m_passDlg.height() / 2));
  QElapsedTimer waited;
  waited.start();
  const bool given = m_passDlg.exec() == QDialog::Accepted;
  m_nAskedMs += waited.elapsed();
  const QString password = m_passDlg.m_strPassword;
  m_passDlg.m_strPassword.clear();
  if (!given) return std::nullopt;
  return password.toStdString();
}

void CExtractDlg::OnExtractButton() {
  if (m_bJobRunning) return;
  m_bCancelled = 0;
  m_strStatus = QStringLiteral("Extracting...  /") + m_strArchiveName;
  const QString target = WithSeparator(m_tree.GetPath()) + m_szOutputName;

  // A file already there is replaced only when the user says so; without
  // that, the job refuses to replace one that appears meanwhile.
  const QFileInfo existing(target);
  const bool replace = existing.exists() || existing.isSymLink();
  // A folder in the way is told at once: Yes to "overwrite" could not be done.
  if (const std::optional<ost::Error> refusal = ost::TargetRefusal(gui::ToPath(target), true)) {
    gui::ShowMessage(this, QString::fromUtf8(refusal->what()), gui::PromptIcon::Stop);
    return;  // the dialog stays open: another folder may do
  }
  if (replace) {
    const gui::PromptAnswer answer =
        gui::Prompt(this, {QStringLiteral("Warning"),
                           existing.fileName() + QStringLiteral(" already exist.\n") +
                               QStringLiteral("You want to overwrite it?"),
                           gui::PromptIcon::Exclamation, gui::PromptButtons::YesNo});
    if (answer != gui::PromptAnswer::Yes) return;  // the dialog stays open: another folder may do
  }

  ost::ExtractionOptions options;
  options.archive = gui::ToPath(m_pszArchivePath ? *m_pszArchivePath : QString());
  options.target = gui::ToPath(target);
  options.replaceTarget = replace;
  m_lastOptions = options;

  ost::ExtractionResult result;
  QString failure;
  std::optional<ost::ErrorKind> kind;
  {
    gui::JobGuard guard(this, m_bJobRunning);
    QElapsedTimer clock;
    clock.start();
    m_nAskedMs = 0;
    CProgressWnd progress;
    progress.CreateWhenBegun(this);  // shown when the job's first pass begins
    try {
      result = m_runJob(options, progress, this);
    } catch (const ost::Error& error) {
      kind = error.kind();
      failure = QString::fromUtf8(error.what());
    } catch (const std::exception& error) {
      kind = ost::ErrorKind::Io;
      failure = QString::fromUtf8(error.what());
    }
    m_nJobMs = clock.elapsed() - m_nAskedMs;
  }
  m_strStatus.clear();

  if (kind) {
    m_bExtracted = 0;
    if (*kind == ost::ErrorKind::WrongPassword) {
      gui::ShowMessage(this, QString::fromLatin1(ost::kWrongPasswordMessage), gui::PromptIcon::Stop,
                       QStringLiteral("Wrong Password!"));
      done(1);
    } else {
      // The dialog stays open: another folder may do.
      gui::ShowMessage(this, failure, gui::PromptIcon::Stop);
    }
    return;
  }
  if (result.cancelled) {
    m_bExtracted = 0;
    m_bCancelled = 1;
    gui::ShowMessage(this, QString::fromLatin1(ost::kExtractionCancelledMessage), gui::PromptIcon::None);
  } else {
    m_bExtracted = 1;
    m_strTargetPath = target;
  }
  done(1);
}

void CExtractDlg::accept() {
  if (m_bJobRunning) return;
  QDialog::accept();
}

void CExtractDlg::reject() {
  if (m_bJobRunning) return;
  QDialog::reject();
}

void CExtractDlg::done(int result) {
  if (m_bJobRunning) return;
  QDialog::done(result);
}

void CExtractDlg::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  gui::PlaceByFrame(this);
}

void CExtractDlg::keyPressEvent(QKeyEvent* event) {
  // The dialog has no default button: Enter closes it without extracting.
  if (!event->modifiers() && (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)) {
    accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

void CExtractDlg::closeEvent(QCloseEvent* event) {
  if (m_bJobRunning) {
    event->ignore();
    return;
  }
  QDialog::closeEvent(event);
}
