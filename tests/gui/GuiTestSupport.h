// Helpers of the desktop program's tests: message boxes answered and
// recorded, modal dialogs driven step by step as they appear, and scratch
// folders.
#pragma once

#include <QDialog>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>
#include <deque>
#include <functional>

#include "controls/Prompt.h"

// Records every message box and answers Yes/No questions from a queue
// (No when the queue is empty).
class PromptRecorder {
 public:
  PromptRecorder();
  ~PromptRecorder();
  QList<gui::PromptRecord> records;
  std::deque<gui::PromptAnswer> answers;
  QStringList Texts() const;
  void Clear() { records.clear(); }
};

// Runs one step for each dialog that is shown (each run of exec()), in order.
// A dialog shown when no step is left, or of the wrong class, is rejected
// and noted as a failure, so a test never hangs on a modal loop.
class DialogScript : public QObject {
  Q_OBJECT

 public:
  using Step = std::function<void(QDialog*)>;
  DialogScript();
  ~DialogScript() override;

  // `className` is the dialog's class ("CCompressDlg", ...).
  DialogScript& Then(const char* className, Step step);
  bool Done() const { return m_steps.empty(); }
  QStringList failures;
  QStringList shown;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  struct Entry {
    QString className;
    Step step;
  };
  std::deque<Entry> m_steps;
  QTimer* m_watchdog;
};

// A scratch folder that is the dialogs' current folder while it lives.
class ScratchFolder {
 public:
  ScratchFolder();
  QString Path() const { return m_dir.path(); }
  QString File(const QString& name) const { return m_dir.filePath(name); }
  // Writes `bytes` to `name` and returns its path.
  QString Write(const QString& name, const QByteArray& bytes) const;

 private:
  QTemporaryDir m_dir;
};

// A small RIFF WAVE file: 16-bit PCM, `channels`, `frames` sample frames of a tone.
QByteArray MakeWave(int channels, int frames);
// Headerless 16-bit samples.
QByteArray MakePcm(int samples);
