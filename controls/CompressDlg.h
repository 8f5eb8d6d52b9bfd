// "New - Compression [1 of 2]": the folder (mount point and folder tree) and
// the name of the archive to create. The page checks nothing; the Compress
// command reads m_strFolder and m_strNewName after it closes.
#pragma once

#include <QDialog>

#include "controls/BtnST.h"
#include "controls/DirectoryTree.h"
#include "controls/DriveCombo.h"

class QLineEdit;

class CCompressDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CCompressDlg(QWidget* parent = nullptr);

  int exec() override;
  void accept() override;

  QString m_strFolder;   // the tree's folder, always ending in one "/"
  QString m_strNewName;  // the name field; kept between runs

  CDirectoryTree m_tree;
  CDriveCombo m_driveCombo;
  QLineEdit* NameEdit() const { return m_nameEdit; }
  QLineEdit* PathDisplay() const { return m_pathDisplay; }
  CBtnST* NewButton() { return &m_btnNew; }

 public slots:
  void OnSelChangeDrive(int index);
  void OnFolderChanged();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void OnInitDialog();
  void UpdatePathDisplay();

  QLineEdit* m_nameEdit;
  QLineEdit* m_pathDisplay;
  CBtnST m_btnNew;
  CBtnST m_btnCancel;
};

// A folder followed by exactly one "/".
QString WithSeparator(const QString& folder);
