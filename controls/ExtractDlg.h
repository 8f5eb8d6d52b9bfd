// "Extract": the folder that receives the restored recording (mount point
// and folder tree); its "&Extract" button runs the extraction job and ends
// the dialog when the job ends.
#pragma once

#include <QDialog>
#include <functional>

#include "controls/BtnST.h"
#include "controls/DirectoryTree.h"
#include "controls/DriveCombo.h"
#include "controls/PassDlg.h"
#include "extract/ExtractionJob.h"

class QLineEdit;

class CExtractDlg : public QDialog, public ost::PasswordQuestion {
  Q_OBJECT

 public:
  using JobRunner = std::function<ost::ExtractionResult(const ost::ExtractionOptions&, ost::JobProgress&,
                                                        ost::PasswordQuestion*)>;

  explicit CExtractDlg(QWidget* parent = nullptr);

  int exec() override;
  void accept() override;
  void reject() override;
  void done(int result) override;
  void showEvent(QShowEvent* event) override;

  std::optional<std::string> AskPassword(const std::filesystem::path& archive) override;

  CDirectoryTree m_tree;
  CDriveCombo m_driveCombo;
  CPassDlg m_passDlg;
  QString m_strStatus;
  QString m_strTargetPath;  // the tree's folder; after a job, the restored file
  int m_bExtracted = 0;
  int m_bCancelled = 0;
  const QString* m_pszArchivePath = nullptr;  // owned by the running command
  QString m_strArchiveName;
  QString m_szOutputName;
  quint64 m_nArchiveLength = 0;

  JobRunner m_runJob;
  qint64 m_nJobMs = 0;  // how long the last job ran, less the time its password question waited
  qint64 m_nAskedMs = 0;  // how long the password question of the running job waited
  ost::ExtractionOptions m_lastOptions;

  QLineEdit* PathEdit() const { return m_editPath; }
  CBtnST* ExtractButton() { return &m_btnExtract; }
  bool IsJobRunning() const { return m_bJobRunning; }

 public slots:
  void OnExtractButton();
  void OnSelChangeDrive(int index);
  void OnFolderChanged();

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void OnInitDialog();

  QLineEdit* m_editPath;
  CBtnST m_btnExtract;
  CBtnST m_btnCancel;
  bool m_bJobRunning = false;
};
