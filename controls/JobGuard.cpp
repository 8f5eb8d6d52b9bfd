#include "controls/JobGuard.h"

namespace gui {

JobGuard::JobGuard(QWidget* dialog, bool& running) : m_dialog(dialog), m_running(running) {
  m_running = true;
  // The busy cursor over the dialog while its job runs; the windows the job
  // opens (progress, questions) keep their own.
  m_dialog->setCursor(Qt::BusyCursor);
  for (QWidget* child : dialog->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
    if (child->isWindow() || !child->isEnabled()) continue;
    child->setEnabled(false);
    m_disabled << child;
  }
}

JobGuard::~JobGuard() {
  for (const QPointer<QWidget>& child : m_disabled)
    if (child) child->setEnabled(true);
  if (m_dialog) m_dialog->unsetCursor();
  m_running = false;
}

}  // namespace gui
