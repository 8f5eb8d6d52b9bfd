#include "controls/PassDlg.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <algorithm>

#include "common/Errors.h"
#include "common/Password.h"
#include "controls/DialogUnits.h"
#include "controls/Prompt.h"

CPassDlg::CPassDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Password"));
  const gui::DialogUnits du(this);
  du.Size(this, 186, 95);

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
  // Wide enough to show all 14 characters: the OK and Cancel buttons and
  // the dialog's right edge move out by what the field grows.
  const QString full(static_cast<int>(ost::kMaxPasswordChars), QChar(m_edit->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr, m_edit)));
  const int needed = m_edit->fontMetrics().horizontalAdvance(full) + 16;
  const int grow = std::max(0, needed - m_edit->width());
  m_edit->resize(m_edit->width() + grow, m_edit->height());
  setFixedSize(width() + grow, height());
  auto* label = new QLabel(QStringLiteral("Password :"), this);
  du.Place(label, 16, 23, 43, 12);
  label->setAlignment(Qt::AlignCenter);
  m_note = new QLabel(QString::fromLatin1(kNewArchiveNote), this);
  QLabel* note = m_note;
  du.Place(note, 20, 48, 111, 40);
  note->resize(note->width() + grow, note->height());
  note->setWordWrap(true);
  note->setAlignment(Qt::AlignLeft | Qt::AlignTop);

  for (QPushButton* button : {m_ok, cancel}) button->move(button->x() + grow, button->y());
  // The field comes first and holds the focus on opening: people type a
  // password as its question appears, and with the focus on OK the keys
  // went nowhere and Enter confirmed an empty password.
  setTabOrder(m_edit, m_ok);
  setTabOrder(m_ok, cancel);
  connect(m_ok, &QPushButton::clicked, this, &CPassDlg::accept);
  connect(cancel, &QPushButton::clicked, this, &CPassDlg::reject);
}

void CPassDlg::SetArchive(const QString& archiveName) {
  m_forNewArchive = archiveName.isEmpty();
  m_note->setText(archiveName.isEmpty()
                      ? QString::fromLatin1(kNewArchiveNote)
                      : QStringLiteral("%1 is protected by a password. Enter it to extract the recording.")
                            .arg(archiveName));
}

int CPassDlg::exec() {
  m_edit->setText(m_strPassword);
  m_edit->selectAll();  // typing replaces a password given before
  m_edit->setFocus();
  return QDialog::exec();
}

void CPassDlg::accept() {
  const QString text = m_edit->text();
  if (text.size() > static_cast<int>(ost::kMaxPasswordChars)) {
    gui::ShowMessage(this, QStringLiteral("Please enter no more than %1 characters.").arg(ost::kMaxPasswordChars));
    return;
  }
  // A new archive stores its password in one code page: what it cannot
  // hold is refused here, where it can be typed again.
  if (m_forNewArchive) {
    try {
      ost::PasswordBytes(text.toStdString());
    } catch (const ost::Error& refused) {
      QString reason = QString::fromStdString(refused.what());
      if (!reason.isEmpty()) reason[0] = reason[0].toUpper();
      gui::ShowMessage(this, reason + QLatin1Char('.'));
      return;
    }
  }
  m_strPassword = text;
  QDialog::accept();
}

QString CPassDlg::Note() const { return m_note->text(); }

void CPassDlg::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  gui::PlaceByFrame(this);
}
