#include "controls/PassDlg.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "common/Password.h"
#include "controls/DialogUnits.h"
#include "controls/Prompt.h"

CPassDlg::CPassDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Password"));
  const gui::DialogUnits du(this);
  du.Size(this, 186, 95);

  // The OK button comes first in the tab order and holds the focus on opening.
  m_ok = new QPushButton(QStringLiteral("OK"), this);
  du.Place(m_ok, 129, 7, 50, 14);
  m_ok->setDefault(true);
  auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
  du.Place(cancel, 129, 24, 50, 14);
  cancel->setAutoDefault(false);
  m_edit = new QLineEdit(this);
  du.Place(m_edit, 69, 23, 45, 13);
  m_edit->setEchoMode(QLineEdit::Password);
  m_edit->setMaxLength(static_cast<int>(ost::kMaxPasswordChars));
  auto* label = new QLabel(QStringLiteral("Password :"), this);
  du.Place(label, 16, 23, 43, 12);
  label->setAlignment(Qt::AlignCenter);
  auto* note = new QLabel(QStringLiteral("Note : The pasword will be applied to the file and will be "
                                         "automatically cleared when the file is extracted."),
                          this);
  du.Place(note, 20, 48, 111, 40);
  note->setWordWrap(true);
  note->setAlignment(Qt::AlignLeft | Qt::AlignTop);

  connect(m_ok, &QPushButton::clicked, this, &CPassDlg::accept);
  connect(cancel, &QPushButton::clicked, this, &CPassDlg::reject);
}

int CPassDlg::exec() {
  m_edit->setText(m_strPassword);
  m_ok->setFocus();
  return QDialog::exec();
}

void CPassDlg::accept() {
  const QString text = m_edit->text();
  if (text.size() > static_cast<int>(ost::kMaxPasswordChars)) {
    gui::ShowMessage(this, QStringLiteral("Please enter no more than %1 characters.").arg(ost::kMaxPasswordChars));
    return;
  }
  m_strPassword = text;
  QDialog::accept();
}
