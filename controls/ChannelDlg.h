// "Mono or Stereo": asked by the compression job when a source does not
// say how many channels it holds. The choice made last is preselected.
#pragma once

#include <QDialog>

#include "common/JobInterfaces.h"

class QRadioButton;

class CChannelDlg : public QDialog, public ost::ChannelQuestion {
  Q_OBJECT

 public:
  explicit CChannelDlg(QWidget* parent = nullptr);

  int exec() override;
  void accept() override;
  void reject() override;

  std::optional<ost::ChannelLayout> AskChannels(const std::filesystem::path& source) override;
  qint64 m_nAskedMs = 0;  // how long the questions waited for their answers, added up

  bool m_bAccepted = false;
  int m_nChannelMode = 0;  // 0 Mono, 1 Stereo

  QRadioButton* MonoButton() const { return m_mono; }
  QRadioButton* StereoButton() const { return m_stereo; }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  QRadioButton* m_mono;
  QRadioButton* m_stereo;
};
