#include "controls/CompressDlg.h"

#include <QDir>
#include <QLabel>
#include <QLineEdit>

#include "controls/DialogUnits.h"

QString WithSeparator(const QString& folder) {
  return folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
}

CCompressDlg::CCompressDlg(QWidget* parent)
    : QDialog(parent), m_tree(this), m_driveCombo(this), m_btnNew(QStringLiteral("&New"), this),
      m_btnCancel(QStringLiteral("Cancel"), this) {
  setWindowTitle(QStringLiteral("New - Compression [1 of 2]"));
  const gui::DialogUnits du(this);
  du.Size(this, 249, 210);

  m_nameEdit = new QLineEdit(this);  // first in the tab order: it has the focus
  du.Place(m_nameEdit, 7, 176, 152, 14);
  du.Place(&m_btnNew, 184, 142, 58, 24);
  m_btnNew.setDefault(true);
  du.Place(&m_btnCancel, 184, 170, 58, 24);
  m_btnCancel.setAutoDefault(false);
  du.Place(new QLabel(QStringLiteral("Create in :"), this), 7, 7, 60, 8);
  du.Place(new QLabel(QStringLiteral("Enter new file name [*.otq] :"), this), 7, 164, 130, 10);
  du.Place(&m_driveCombo, 7, 140, 152, 14);
  du.Place(&m_tree, 7, 31, 152, 90);
  m_pathDisplay = new QLineEdit(this);
  du.Place(m_pathDisplay, 7, 17, 152, 13);
  m_pathDisplay->setEnabled(false);
  du.Place(new QLabel(QStringLiteral("Select Drive :"), this), 7, 128, 60, 10);
  setTabOrder(m_nameEdit, &m_btnNew);
  setTabOrder(&m_btnNew, &m_btnCancel);
  setTabOrder(&m_btnCancel, &m_driveCombo);
  setTabOrder(&m_driveCombo, &m_tree);

  connect(&m_btnNew, &QPushButton::clicked, this, &CCompressDlg::accept);
  connect(&m_btnCancel, &QPushButton::clicked, this, &CCompressDlg::reject);
  connect(&m_driveCombo, &QComboBox::activated, this, &CCompressDlg::OnSelChangeDrive);
  connect(&m_tree, &CDirectoryTree::folderChanged, this, &CCompressDlg::OnFolderChanged);
}

int CCompressDlg::exec() {
  OnInitDialog();
  return QDialog::exec();
}

void CCompressDlg::OnInitDialog() {
  m_nameEdit->setText(m_strNewName);
  m_btnNew.SetIcons(QIcon(QStringLiteral(":/buttons/192.svg")), QIcon(), 32, 32);
  m_btnCancel.SetIcons(QIcon(QStringLiteral(":/buttons/187.svg")), QIcon(), 32, 32);
  // The keyboard user sees which icon button has the focus.
  for (CBtnST* button : {&m_btnNew, &m_btnCancel}) button->SetFlatFocus(true);
  m_driveCombo.FillDrives();
  m_tree.ShowCurrentFolder();
  m_driveCombo.SelectDrive(m_tree.m_strDrive);
  UpdatePathDisplay();
  m_strFolder = WithSeparator(m_tree.GetPath());
  m_nameEdit->setFocus();
}

void CCompressDlg::accept() {
  m_strNewName = m_nameEdit->text();
  QDialog::accept();
}

void CCompressDlg::OnSelChangeDrive(int index) {
  if (m_driveCombo.IsDriveReady(index)) {
    m_tree.m_strDrive = m_driveCombo.DriveAt(index);
    m_tree.ShowCurrentFolder();
    UpdatePathDisplay();
    m_strFolder = WithSeparator(m_tree.GetPath());
  } else {
    m_driveCombo.SelectDrive(m_tree.m_strDrive);
  }
}

void CCompressDlg::OnFolderChanged() {
  UpdatePathDisplay();
  m_strFolder = WithSeparator(m_tree.GetPath());
}

void CCompressDlg::UpdatePathDisplay() { m_pathDisplay->setText(QDir::toNativeSeparators(m_tree.GetPath())); }

void CCompressDlg::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  gui::PlaceByFrame(this);
}
