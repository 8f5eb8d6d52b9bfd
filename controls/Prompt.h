// Message boxes of the desktop program go through one function, so that a
// test can answer them instead of a person (a QMessageBox run modally would
// block a headless test).
#pragma once

#include <QString>
#include <functional>

class QWidget;

namespace gui {

// Caption of the program's message boxes.
inline constexpr const char* kAppTitle = "Ostinato 3";

enum class PromptIcon { None, Information, Exclamation, Stop, Question };
enum class PromptButtons { Ok, YesNo };
enum class PromptAnswer { Ok, Yes, No };

struct PromptRecord {
  QString caption;
  QString text;
  PromptIcon icon = PromptIcon::Exclamation;
  PromptButtons buttons = PromptButtons::Ok;
};

using PromptHandler = std::function<PromptAnswer(QWidget* parent, const PromptRecord& record)>;

// The text with invisible line-break chances in its long runs (paths, long
// names), so that a message box wraps them instead of growing past the
// screen and cutting them off.
QString Breakable(const QString& text);

// Replaces the handler; an empty function restores the message box.
void SetPromptHandler(PromptHandler handler);

PromptAnswer Prompt(QWidget* parent, const PromptRecord& record);

// A message with an OK button, captioned "Ostinato 3" unless told otherwise.
void ShowMessage(QWidget* parent, const QString& text, PromptIcon icon = PromptIcon::Exclamation,
                 const QString& caption = QString::fromLatin1(kAppTitle));

}  // namespace gui
