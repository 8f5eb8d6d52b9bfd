// While a job runs inside a dialog, the dialog's controls are disabled so
// that the job cannot be started twice or its dialog closed under it; the
// windows the job opens (progress, questions) stay usable.
#pragma once

#include <QList>
#include <QPointer>
#include <QWidget>

namespace gui {

class JobGuard {
 public:
  JobGuard(QWidget* dialog, bool& running);
  ~JobGuard();
  JobGuard(const JobGuard&) = delete;
  JobGuard& operator=(const JobGuard&) = delete;

 private:
  QPointer<QWidget> m_dialog;
  QList<QPointer<QWidget>> m_disabled;
  bool& m_running;
};

}  // namespace gui
