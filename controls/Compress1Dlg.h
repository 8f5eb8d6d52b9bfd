// "Options - Compression (2 of 2)": shows the source, plays it, takes the
// rate and the password, and runs the compression job with its "Compress "
// button. The Compress command of the view fills the source and the archive
// path before each run and reads the result flags afterwards.
#pragma once

#include <QDialog>
#include <functional>
#include <optional>

#include "compress/CompressionJob.h"
#include "controls/BtnST.h"
#include "controls/ChannelDlg.h"
#include "controls/PassDlg.h"
#include "controls/WaveSound.h"

class QComboBox;
class QLineEdit;

class CCompress1Dlg : public QDialog {
  Q_OBJECT

 public:
  using JobRunner = std::function<ost::CompressionResult(const ost::CompressionOptions&, ost::JobProgress&,
                                                         ost::ChannelQuestion&)>;

  explicit CCompress1Dlg(QWidget* parent = nullptr);

  int exec() override;
  void accept() override;
  void reject() override;
  void done(int result) override;

  QString m_strInputPath;                    // the source as the last job used it
  const QString* m_pszArchivePath = nullptr;  // archive to create, owned by the running command
  QString m_strSourceName;                   // file name of the source, for the view's row
  int m_bCancelled = 0;
  CWaveSound m_sound;
  CChannelDlg m_channelDlg;
  CPassDlg m_passDlg;
  int m_bArchiveWritten = 0;
  int m_bFinished = 0;
  QString m_strJobRate;
  QString m_strChannels;
  QString m_strSourcePath;                  // full path of the source, shown in the page
  QString m_strRate = QStringLiteral("Maximum");
  std::optional<QString> m_optPassword;      // set by "Password...", given to the job
  CBtnST m_btnCompress;
  CBtnST m_btnCancel;
  CBtnST m_btnPlay;
  QPushButton m_btnPassword;

  // Runs the job; tests put a stand-in here.
  JobRunner m_runJob;
  qint64 m_nJobMs = 0;  // how long the last job ran, less the time its channel question waited
  // What the last press of Compress handed to the job.
  ost::CompressionOptions m_lastOptions;

  QComboBox* RateCombo() const { return m_rateCombo; }
  QLineEdit* SourceEdit() const { return m_sourceEdit; }
  bool IsJobRunning() const { return m_bJobRunning; }

 public slots:
  void OnCompressButton();
  void OnPlayButton();
  void OnPasswordButton();

 protected:
  void showEvent(QShowEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void OnInitDialog();
  void UpdateData(bool save);

  QLineEdit* m_sourceEdit;
  QComboBox* m_rateCombo;
  bool m_bJobRunning = false;
};
