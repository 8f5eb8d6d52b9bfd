#include "controls/ChannelDlg.h"

#include <QButtonGroup>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QPushButton>
#include <QRadioButton>

#include "controls/DialogUnits.h"

CChannelDlg::CChannelDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Mono or Stereo"));
  const gui::DialogUnits du(this);
  du.Size(this, 162, 79);

  auto* group = new QGroupBox(this);
  du.Place(group, 7, 0, 147, 75);
  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  du.Place(ok, 85, 20, 50, 14);
  ok->setDefault(true);
  auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
  du.Place(cancel, 85, 45, 50, 14);
  cancel->setAutoDefault(false);
  m_mono = new QRadioButton(QStringLiteral("Mono"), this);
  du.Place(m_mono, 25, 25, 40, 10);
  m_stereo = new QRadioButton(QStringLiteral("Stereo"), this);
  du.Place(m_stereo, 25, 45, 44, 10);
  auto* buttons = new QButtonGroup(this);
  buttons->addButton(m_mono, 0);
  buttons->addButton(m_stereo, 1);

  connect(ok, &QPushButton::clicked, this, &CChannelDlg::accept);
  connect(cancel, &QPushButton::clicked, this, &CChannelDlg::reject);
}

int CChannelDlg::exec() {
  (m_nChannelMode == 1 ? m_stereo : m_mono)->setChecked(true);
  return QDialog::exec();
}

void CChannelDlg::accept() {
  m_bAccepted = true;
  m_nChannelMode = m_stereo->isChecked() ? 1 : 0;
  QDialog::accept();
}

// Cancel, Escape and the close box all end here.
void CChannelDlg::reject() {
  m_bAccepted = false;
  QDialog::reject();
}

std::optional<ost::ChannelLayout> CChannelDlg::AskChannels(const std::filesystem::path&) {
  QElapsedTimer waited;
  waited.start();
  exec();
  m_nAskedMs += waited.elapsed();
  if (!m_bAccepted) return std::nullopt;
  return m_nChannelMode == 1 ? ost::ChannelLayout::Stereo : ost::ChannelLayout::Mono;
}

void CChannelDlg::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  gui::PlaceByFrame(this);
}
