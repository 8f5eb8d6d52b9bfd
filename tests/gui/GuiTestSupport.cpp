#include "GuiTestSupport.h"

#include <QApplication>
#include <QDataStream>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QTimer>
#include <cmath>

#include "controls/DriveCombo.h"

PromptRecorder::PromptRecorder() {
  gui::SetPromptHandler([this](QWidget*, const gui::PromptRecord& record) {
    records << record;
    if (record.buttons == gui::PromptButtons::Ok) return gui::PromptAnswer::Ok;
    if (answers.empty()) return gui::PromptAnswer::No;
    const gui::PromptAnswer answer = answers.front();
    answers.pop_front();
    return answer;
  });
}

PromptRecorder::~PromptRecorder() { gui::SetPromptHandler({}); }

QStringList PromptRecorder::Texts() const {
  QStringList texts;
  for (const gui::PromptRecord& record : records) texts << record.text;
  return texts;
}

DialogScript::DialogScript() : m_watchdog(new QTimer(this)) {
  qApp->installEventFilter(this);
  // A dialog left open by a failed step would wait for ever: after 30 s
  // without a new dialog, every modal dialog is closed.
  m_watchdog->setInterval(30000);
  connect(m_watchdog, &QTimer::timeout, this, [this] {
    failures << QStringLiteral("timed out waiting in a dialog");
    while (auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
      modal->reject();
      if (modal->isVisible()) break;
    }
  });
  m_watchdog->start();
}
DialogScript::~DialogScript() { qApp->removeEventFilter(this); }

DialogScript& DialogScript::Then(const char* className, Step step) {
  m_steps.push_back({QString::fromLatin1(className), std::move(step)});
  return *this;
}

bool DialogScript::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Show) {
    auto* dialog = qobject_cast<QDialog*>(watched);
    if (dialog && dialog->isWindow() && dialog->isModal()) {
      const QString name = QString::fromLatin1(dialog->metaObject()->className());
      shown << name;
      m_watchdog->start();
      QPointer<QDialog> guarded(dialog);
      if (m_steps.empty() || m_steps.front().className != name) {
        failures << QStringLiteral("unexpected %1 (expected %2)")
                        .arg(name, m_steps.empty() ? QStringLiteral("nothing") : m_steps.front().className);
        QTimer::singleShot(0, dialog, [guarded] {
          if (guarded) guarded->reject();
        });
      } else {
        Step step = std::move(m_steps.front().step);
        m_steps.pop_front();
        // Runs once the dialog's own modal loop has started.
        QTimer::singleShot(0, dialog, [guarded, step] {
          if (guarded) step(guarded);
        });
      }
    }
  }
  return QObject::eventFilter(watched, event);
}

ScratchFolder::ScratchFolder() { CDriveCombo::ResetFolders(m_dir.path()); }

QString ScratchFolder::Write(const QString& name, const QByteArray& bytes) const {
  const QString path = File(name);
  QFile file(path);
  if (file.open(QIODevice::WriteOnly)) file.write(bytes);
  return path;
}

namespace {

void PutU32(QByteArray& out, quint32 value) {
  for (int i = 0; i < 4; ++i) out.append(static_cast<char>((value >> (8 * i)) & 0xFF));
}
void PutU16(QByteArray& out, quint16 value) {
  out.append(static_cast<char>(value & 0xFF));
  out.append(static_cast<char>(value >> 8));
}

}  // namespace

QByteArray MakePcm(int samples) {
  QByteArray out;
  for (int i = 0; i < samples; ++i) {
    const double tone = 9000.0 * std::sin(i * 0.07) + 2000.0 * std::sin(i * 0.31);
    PutU16(out, static_cast<quint16>(static_cast<qint16>(std::lround(tone))));
  }
  return out;
}

QByteArray MakeWave(int channels, int frames) {
  const QByteArray data = MakePcm(channels * frames);
  QByteArray out("RIFF");
  PutU32(out, static_cast<quint32>(36 + data.size()));
  out.append("WAVEfmt ");
  PutU32(out, 16);
  PutU16(out, 1);
  PutU16(out, static_cast<quint16>(channels));
  PutU32(out, 8000);
  PutU32(out, static_cast<quint32>(8000 * 2 * channels));
  PutU16(out, static_cast<quint16>(2 * channels));
  PutU16(out, 16);
  out.append("data");
  PutU32(out, static_cast<quint32>(data.size()));
  out.append(data);
  return out;
}
