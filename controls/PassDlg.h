// "Password": asks for the password of a new or of a protected archive, at
// most 14 characters, shown masked.
#pragma once

#include <QDialog>

class QLineEdit;
class QPushButton;

class CPassDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CPassDlg(QWidget* parent = nullptr);

  int exec() override;
  void accept() override;

  QString m_strPassword;  // keeps its value between runs; callers clear it

  QLineEdit* PasswordEdit() const { return m_edit; }
  QPushButton* OkButton() const { return m_ok; }

 private:
  QLineEdit* m_edit;
  QPushButton* m_ok;
};
