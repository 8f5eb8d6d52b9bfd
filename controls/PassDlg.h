// "Password": asks for the password of a new or of a protected archive, at
// most 14 characters, shown masked.
#pragma once

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

class CPassDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CPassDlg(QWidget* parent = nullptr);

  // The archive the password is asked for to extract it; empty for the
  // password of a new archive (the note of the compression wizard).
  void SetArchive(const QString& archiveName);
  QString Note() const;

  static constexpr const char* kNewArchiveNote =
      "Note : The pasword will be applied to the file and will be automatically cleared when the file is extracted.";

  int exec() override;
  void accept() override;

  QString m_strPassword;  // keeps its value between runs; callers clear it

  QLineEdit* PasswordEdit() const { return m_edit; }
  QPushButton* OkButton() const { return m_ok; }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  QLineEdit* m_edit;
  QLabel* m_note;
  QPushButton* m_ok;
  bool m_forNewArchive = true;
};
