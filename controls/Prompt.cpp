#include "controls/Prompt.h"

#include <QAbstractButton>
#include <QMessageBox>

#include "controls/PressGuard.h"

namespace gui {
namespace {

// The box's buttons drop a press that comes as the box appears under a
// pointer that has not moved: the second click of a double-click on the
// button under it (Extract, New) would otherwise answer a question, such as
// whether to overwrite a file, before it was read.
class GuardedButtons final : public QObject {
 public:
  explicit GuardedButtons(QMessageBox& box) : QObject(&box), m_box(box) {
    box.installEventFilter(this);
    for (QAbstractButton* button : box.buttons()) button->installEventFilter(this);
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == &m_box) {
      if (event->type() == QEvent::Show) m_guard.Appeared();
      return false;
    }
    return m_guard.Drops(event);
  }

 private:
  QMessageBox& m_box;
  PressGuard m_guard;
};

PromptHandler& Handler() {
  static PromptHandler handler;
  return handler;
}

// Longest run of characters without a place to break the line.
constexpr int kLongestRun = 40;

PromptAnswer RunMessageBox(QWidget* parent, const PromptRecord& record) {
  QMessageBox box(parent);
  box.setWindowTitle(record.caption);
  box.setTextFormat(Qt::PlainText);
  box.setText(Breakable(record.text));
  switch (record.icon) {
    case PromptIcon::None: box.setIcon(QMessageBox::NoIcon); break;
    case PromptIcon::Information: box.setIcon(QMessageBox::Information); break;
    case PromptIcon::Exclamation: box.setIcon(QMessageBox::Warning); break;
    case PromptIcon::Stop: box.setIcon(QMessageBox::Critical); break;
    case PromptIcon::Question: box.setIcon(QMessageBox::Question); break;
  }
  const bool question = record.buttons == PromptButtons::YesNo;
  if (question) {
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box.setDefaultButton(QMessageBox::Yes);
  } else {
    box.setStandardButtons(QMessageBox::Ok);
  }
  new GuardedButtons(box);  // owned by the box
  const int answer = box.exec();
  if (!question) return PromptAnswer::Ok;
  return answer == QMessageBox::Yes ? PromptAnswer::Yes : PromptAnswer::No;
}

}  // namespace

QString Breakable(const QString& text) {
  // A zero-width space is a place where the line may break and shows
  // nothing: after each "/" of a path, and inside any other long run.
  constexpr QChar kBreak(0x200B);
  QString out;
  out.reserve(text.size() + text.size() / 8);
  int run = 0;
  for (const QChar c : text) {
    out += c;
    if (c.isSpace()) {
      run = 0;
      continue;
    }
    if (c == QLatin1Char('/') || ++run >= kLongestRun) {
      out += kBreak;
      run = 0;
    }
  }
  return out;
}

void SetPromptHandler(PromptHandler handler) { Handler() = std::move(handler); }

PromptAnswer Prompt(QWidget* parent, const PromptRecord& record) {
  if (Handler()) return Handler()(parent, record);
  return RunMessageBox(parent, record);
}

void ShowMessage(QWidget* parent, const QString& text, PromptIcon icon, const QString& caption) {
  Prompt(parent, PromptRecord{caption, text, icon, PromptButtons::Ok});
}

}  // namespace gui
