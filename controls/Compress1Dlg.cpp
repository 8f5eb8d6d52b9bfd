#include "controls/Compress1Dlg.h"

#include <QCloseEvent>
#include <QElapsedTimer>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <tuple>

#include "common/Errors.h"
#include "controls/DialogUnits.h"
#include "controls/NativePath.h"
#include "controls/JobGuard.h"
#include "controls/ProgressWnd1.h"
#include "controls/Prompt.h"

namespace {

ost::CompressionResult RunCompression(const ost::CompressionOptions& options, ost::JobProgress& progress,
                                      ost::ChannelQuestion& channels) {
  return ost::CompressionJob(options, progress, channels).Run();
}

}  // namespace

CCompress1Dlg::CCompress1Dlg(QWidget* parent)
    : QDialog(parent), m_channelDlg(this), m_passDlg(this), m_btnCompress(QStringLiteral("Compress "), this),
      m_btnCancel(QStringLiteral("Cancel  "), this), m_btnPlay(this), m_btnPassword(QStringLiteral("&Password..."), this),
      m_runJob(RunCompression) {
  setWindowTitle(QStringLiteral("Options - Compression (2 of 2)"));
  const gui::DialogUnits du(this);
  du.Size(this, 238, 126);

  // The frames go to the bottom of the stack: the buttons were made before
  // them (they are members), and a frame over a button takes its clicks.
  for (const auto& [title, x, y, cx, cy] : {std::tuple(QStringLiteral("Audio File to Add :"), 7, 7, 148, 35),
                                            std::tuple(QStringLiteral("Action"), 8, 52, 148, 34),
                                            std::tuple(QStringLiteral("Click to Play :"), 160, 7, 50, 35)}) {
    auto* frame = new QGroupBox(title, this);
    du.Place(frame, x, y, cx, cy);
    frame->lower();
  }
  m_sourceEdit = new QLineEdit(this);
  du.Place(m_sourceEdit, 14, 21, 135, 14);
  m_sourceEdit->setEnabled(false);
  du.Place(&m_btnCompress, 164, 58, 66, 26);
  du.Place(&m_btnCancel, 164, 93, 66, 26);
  m_rateCombo = new QComboBox(this);
  m_rateCombo->setEditable(true);  // a typed rate is accepted, and checked on Compress
  m_rateCombo->setInsertPolicy(QComboBox::NoInsert);
  m_rateCombo->addItems({QStringLiteral("Maximum"), QStringLiteral("Normal"), QStringLiteral("Fast"),
                         QStringLiteral("Fastest")});
  // Our own rate after the four: the smallest archives, several times slower
  // to make, restored like any other.
  m_rateCombo->addItem(QStringLiteral("Extreme"));
  m_rateCombo->setItemData(4, QStringLiteral("About 1 % smaller than Maximum, several times slower to compress"),
                           Qt::ToolTipRole);
  du.Place(m_rateCombo, 88, 65, 62, 14);
  du.Place(new QLabel(QStringLiteral("Compression Rate : "), this), 13, 67, 75, 11);
  du.Place(&m_btnPlay, 170, 16, 30, 23);
  du.Place(&m_btnPassword, 94, 95, 62, 24);
  m_btnPlay.setToolTip(QStringLiteral("Play"));
  setTabOrder(&m_btnCompress, &m_btnCancel);
  setTabOrder(&m_btnCancel, m_rateCombo);
  setTabOrder(m_rateCombo, &m_btnPlay);
  setTabOrder(&m_btnPlay, &m_btnPassword);

  connect(&m_btnCompress, &QPushButton::clicked, this, &CCompress1Dlg::OnCompressButton);
  connect(&m_btnCancel, &QPushButton::clicked, this, &CCompress1Dlg::reject);
  connect(&m_btnPlay, &QPushButton::clicked, this, &CCompress1Dlg::OnPlayButton);
  connect(&m_btnPassword, &QPushButton::clicked, this, &CCompress1Dlg::OnPasswordButton);
}

int CCompress1Dlg::exec() {
  OnInitDialog();
  return QDialog::exec();
}

void CCompress1Dlg::OnInitDialog() {
  m_btnCompress.SetIcons(QIcon(QStringLiteral(":/buttons/186.svg")), QIcon(QStringLiteral(":/buttons/185.svg")), 32, 32);
  m_btnCancel.SetIcons(QIcon(QStringLiteral(":/buttons/187.svg")), QIcon(), 32, 32);
  // The keyboard user sees which icon button has the focus.
  for (CBtnST* button : {&m_btnCompress, &m_btnCancel, &m_btnPlay}) button->SetFlatFocus(true);
  m_btnPlay.SetIcons(QIcon(QStringLiteral(":/buttons/191.svg")), QIcon(), 32, 32);
  UpdateData(false);
  m_bArchiveWritten = 0;
  m_btnCompress.setFocus();
}

void CCompress1Dlg::UpdateData(bool save) {
  // The field shows the source path elided in the middle (both ends of a
  // path tell most), the whole path as its tool tip; it cannot be edited,
  // so the path is never read back from it.
  if (save) {
    m_strRate = m_rateCombo->currentText();
  } else {
    const QString native = QDir::toNativeSeparators(m_strSourcePath);
    const int room = m_sourceEdit->contentsRect().width() - 8;
    m_sourceEdit->setText(m_sourceEdit->fontMetrics().elidedText(native, Qt::ElideMiddle, room));
    m_sourceEdit->setCursorPosition(0);
    m_sourceEdit->setToolTip(native);
    m_rateCombo->setCurrentText(m_strRate);
  }
}

// Plays the source without blocking the page; a second press while it plays
// stops it.
void CCompress1Dlg::OnPlayButton() {
  if (m_sound.IsPlaying())
    m_sound.Stop();
  else
    m_sound.PlayFile(m_strSourcePath);
}

void CCompress1Dlg::OnPasswordButton() {
  // Cancel keeps a password set by an earlier press; OK replaces it (an
  // empty one too, which the archive then records as an empty password).
  m_passDlg.SetArchive(QString());
  if (m_passDlg.exec() == QDialog::Accepted) m_optPassword = m_passDlg.m_strPassword;
  m_passDlg.m_strPassword.clear();
}

void CCompress1Dlg::OnCompressButton() {
  if (m_bJobRunning) return;
  m_bArchiveWritten = 0;
  m_bCancelled = 0;
  UpdateData(true);
  m_strInputPath = m_strSourcePath;
  m_strJobRate = m_strRate;
  m_strChannels.clear();
  m_sound.Stop();

  const std::optional<ost::Rate> rate = ost::ParseRate(m_strJobRate.trimmed().toStdString());
  if (!rate) {
    gui::ShowMessage(this, QStringLiteral("\"%1\" is not a compression rate: choose Maximum, Normal, Fast, Fastest or Extreme.")
                               .arg(m_strJobRate));
    m_bFinished = 0;
    return;
  }

  ost::CompressionOptions options;
  options.source = gui::ToPath(m_strInputPath);
  options.archive = gui::ToPath(m_pszArchivePath ? *m_pszArchivePath : QString());
  options.rate = *rate;
  if (m_optPassword) options.password = m_optPassword->toStdString();
  options.replaceArchive = true;  // the Compress command asked before overwriting
  m_lastOptions = options;

  ost::CompressionResult result;
  QString failure;
  std::optional<ost::ErrorKind> kind;
  {
    gui::JobGuard guard(this, m_bJobRunning);
    QElapsedTimer clock;
    clock.start();
    m_channelDlg.m_nAskedMs = 0;
    CProgressWnd progress;
    progress.CreateWhenBegun(this);  // shown when the job's first pass begins
    try {
      result = m_runJob(options, progress, m_channelDlg);
    } catch (const ost::Error& error) {
      kind = error.kind();
      failure = QString::fromUtf8(error.what());
    } catch (const std::exception& error) {
      kind = ost::ErrorKind::Io;
      failure = QString::fromUtf8(error.what());
    }
    m_nJobMs = clock.elapsed() - m_channelDlg.m_nAskedMs;
  }

  if (kind) {
    m_bFinished = 0;
    switch (*kind) {
      case ost::ErrorKind::InvalidName: {
        // A source that could not be opened (deleted since it was picked,
        // say) has a fine name: the reason follows.
        QString text = QString::fromLatin1(ost::kInvalidFileNameMessage);
        if (failure != text) text += QStringLiteral("\n\n") + failure;
        gui::ShowMessage(this, text);
        m_strSourcePath.clear();
        UpdateData(false);
        m_strRate = QStringLiteral("Maximum");
        break;
      }
      case ost::ErrorKind::ChannelCancelled:
        gui::ShowMessage(this, QString::fromLatin1(ost::kActionCancelledMessage));
        UpdateData(false);
        m_strRate = QStringLiteral("Maximum");
        break;
      default:
        gui::ShowMessage(this, failure, gui::PromptIcon::Stop);
        break;
    }
    return;
  }

  m_optPassword.reset();  // used by this job, or dropped with a cancelled one
  m_bFinished = 1;
  if (result.cancelled) {
    m_bCancelled = 1;
    m_bArchiveWritten = 0;
    gui::ShowMessage(this, QString::fromLatin1(ost::kCompressionCancelledMessage), gui::PromptIcon::None);
    m_strSourcePath.clear();
    UpdateData(false);
    m_strRate = QStringLiteral("Maximum");
  } else {
    m_bArchiveWritten = 1;
    if (!result.notices.empty()) {
      QStringList lines;
      for (const std::string& notice : result.notices) lines << QString::fromStdString(notice);
      gui::ShowMessage(this, lines.join(QLatin1Char('\n')), gui::PromptIcon::Information);
    }
  }
  QDialog::accept();
}

void CCompress1Dlg::accept() {
  if (m_bJobRunning) return;
  QDialog::accept();
}

void CCompress1Dlg::reject() {
  if (m_bJobRunning) return;
  m_optPassword.reset();  // a password set in this run is forgotten
  QDialog::reject();
}

void CCompress1Dlg::done(int result) {
  if (m_bJobRunning) return;
  m_sound.Stop();
  QDialog::done(result);
}

void CCompress1Dlg::keyPressEvent(QKeyEvent* event) {
  // Enter on a focused button presses it; elsewhere it ends the page with
  // OK, without a job, and the Compress command shows the destination page
  // again.
  if (!event->modifiers() && (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)) {
    accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

void CCompress1Dlg::closeEvent(QCloseEvent* event) {
  if (m_bJobRunning) {
    event->ignore();
    return;
  }
  QDialog::closeEvent(event);
}

void CCompress1Dlg::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  gui::PlaceByFrame(this);
}
