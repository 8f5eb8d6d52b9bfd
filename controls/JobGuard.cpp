#include "controls/JobGuard.h"

namespace gui {

JobGuard::JobGuard(QWidget* dialog, bool& running) : m_running(running) {
  m_running = true;
  for (QWidget* child : dialog->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
    if (child->isWindow() || !child->isEnabled()) continue;
    child->setEnabled(false);
    m_disabled << child;
  }
}

JobGuard::~JobGuard() {
  for (const QPointer<QWidget>& child : m_disabled)
    if (child) child->setEnabled(true);
  m_running = false;
}

}  // namespace gui
