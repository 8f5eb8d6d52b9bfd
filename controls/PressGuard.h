// Tells the press of a button that appeared under a pointer which had not
// moved since: the second click of a double-click aimed at what lay there
// before (the destination page's New, under which the options page opens
// its Cancel; Compress, under which the progress window may open its own).
// A press at another place, or later than a double-click's second click
// could come, is the person's.
#pragma once

#include <QCursor>
#include <QElapsedTimer>
#include <QEvent>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QStyleHints>

class PressGuard {
 public:
  // The button has just appeared.
  void Appeared() {
    m_since.start();
    m_pointer = QCursor::pos();
  }
  // Whether `event` is such a press, to be dropped.
  bool Drops(const QEvent* event) const {
    if (event->type() != QEvent::MouseButtonPress && event->type() != QEvent::MouseButtonDblClick) return false;
    if (!m_since.isValid() || m_since.elapsed() >= QGuiApplication::styleHints()->mouseDoubleClickInterval())
      return false;
    const QPoint at = static_cast<const QMouseEvent*>(event)->globalPosition().toPoint();
    return (at - m_pointer).manhattanLength() <= QGuiApplication::styleHints()->startDragDistance();
  }

 private:
  QElapsedTimer m_since;
  QPoint m_pointer;
};
