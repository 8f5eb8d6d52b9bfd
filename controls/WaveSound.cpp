#include "controls/WaveSound.h"

#include <QAudioDevice>
#include <QCoreApplication>
#include <QFile>
#include <QMediaDevices>
#include <QSoundEffect>
#include <QTemporaryFile>
#include <QTimer>
#include <QUrl>
#include <QtEndian>

namespace {

// Sound effects play through Qt's own audio output and need no media back
// end; should anything of Qt Multimedia load one, let it be GStreamer, not
// the FFmpeg back end, which can bring the program down on a machine without
// a sound server. Runs when the application object is made, before any
// multimedia class exists; a back end named by the user is kept.
void ChooseMediaBackend() {
  if (qEnvironmentVariableIsEmpty("QT_MEDIA_BACKEND")) qputenv("QT_MEDIA_BACKEND", "gstreamer");
}
Q_COREAPP_STARTUP_FUNCTION(ChooseMediaBackend)

// Time a sound may run past its length before it counts as stuck.
constexpr qint64 kWatchdogSlackMs = 2000;

bool HasSoundOutput() { return !QMediaDevices::audioOutputs().isEmpty(); }

}  // namespace

// The sound system is not asked anything until a sound is wanted: asking
// connects to the sound server, and on a machine without one that prints an
// error that the user did nothing to cause.
CWaveSound::CWaveSound() = default;

int CWaveSound::GetDeviceCount() const {
  if (m_nDeviceCount < 0) m_nDeviceCount = static_cast<int>(QMediaDevices::audioOutputs().size());
  return m_nDeviceCount;
}

CWaveSound::~CWaveSound() { Free(); }

qint64 CWaveSound::WaveDurationMs(QIODevice& file) {
  if (!file.seek(0)) return -1;
  const QByteArray riff = file.read(12);
  if (riff.size() != 12 || !riff.startsWith("RIFF") || riff.mid(8, 4) != "WAVE") return -1;
  quint32 byteRate = 0;
  while (true) {
    const QByteArray chunk = file.read(8);
    if (chunk.size() != 8) return -1;
    const quint32 size = qFromLittleEndian<quint32>(chunk.constData() + 4);
    const qint64 body = file.pos();
    if (chunk.startsWith("fmt ")) {
      const QByteArray format = file.read(16);
      if (format.size() != 16) return -1;
      byteRate = qFromLittleEndian<quint32>(format.constData() + 8);
    } else if (chunk.startsWith("data")) {
      if (byteRate == 0) return -1;  // no "fmt " before the samples: nothing a player can use
      const qint64 present = qMin<qint64>(size, file.size() - body);
      return present * 1000 / byteRate;
    }
    if (!file.seek(body + size + (size & 1))) return -1;
  }
}

bool CWaveSound::PlayFile(const QString& path) {
  Stop();
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return false;
  const qint64 duration = WaveDurationMs(file);
  if (duration < 0) return false;
  return Start(path, duration, false);
}

bool CWaveSound::LoadFile(const QString& path) {
  Free();
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return false;
  m_data = file.readAll();
  if (m_data.size() != file.size()) return false;
  m_bLoaded = true;
  return true;
}

bool CWaveSound::Play(bool loop) {
  if (!m_bLoaded) return false;
  Stop();
  if (!m_loadedFile) {
    // The player reads sounds from files only; the loaded image goes into a
    // private temporary file once.
    auto copy = std::make_unique<QTemporaryFile>();
    copy->setFileTemplate(copy->fileTemplate() + QStringLiteral(".wav"));
    if (!copy->open() || copy->write(m_data) != m_data.size() || !copy->flush()) return false;
    m_loadedFile = std::move(copy);
  }
  const qint64 duration = WaveDurationMs(*m_loadedFile);
  if (duration < 0) return false;
  return Start(m_loadedFile->fileName(), duration, loop);
}

bool CWaveSound::Start(const QString& path, qint64 durationMs, bool loop) {
  // Without an output a sound effect reports "playing" for ever, so nothing
  // is started at all.
  if (!HasSoundOutput()) return false;
  if (!m_effect) {
    m_effect = std::make_unique<QSoundEffect>();
    QObject::connect(m_effect.get(), &QSoundEffect::statusChanged, m_effect.get(), [this] {
      if (m_effect->status() == QSoundEffect::Error) Stop();
    });
  }
  if (!m_watchdog) {
    m_watchdog = std::make_unique<QTimer>();
    m_watchdog->setSingleShot(true);
    QObject::connect(m_watchdog.get(), &QTimer::timeout, m_watchdog.get(), [this] { Stop(); });
  }
  m_effect->setSource(QUrl::fromLocalFile(path));
  m_effect->setLoopCount(loop ? QSoundEffect::Infinite : 1);
  m_effect->play();
  if (loop)
    m_watchdog->stop();
  else
    m_watchdog->start(static_cast<int>(qMin<qint64>(durationMs + kWatchdogSlackMs, INT_MAX)));
  return true;
}

bool CWaveSound::Stop() {
  if (m_watchdog) m_watchdog->stop();
  if (m_effect) m_effect->stop();
  return true;
}

bool CWaveSound::IsPlaying() const { return m_effect && m_effect->isPlaying(); }

bool CWaveSound::Free() {
  Stop();
  m_data.clear();
  m_loadedFile.reset();
  m_bLoaded = false;
  return true;
}
