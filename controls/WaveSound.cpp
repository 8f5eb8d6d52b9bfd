#include "controls/WaveSound.h"

#include <QAudioDevice>
#include <QFileInfo>
#include <QMediaDevices>
#include <QSoundEffect>
#include <QUrl>

CWaveSound::CWaveSound() = default;
CWaveSound::~CWaveSound() { Stop(); }

bool CWaveSound::PlayFile(const QString& path) {
  Stop();
  const QFileInfo info(path);
  if (info.suffix().compare(QLatin1String("wav"), Qt::CaseInsensitive) != 0) return false;
  if (!info.isFile() || !info.isReadable()) return false;
  // Without an output device a sound effect may wait for one forever.
  if (QMediaDevices::audioOutputs().isEmpty()) return false;
  if (!m_effect) m_effect = std::make_unique<QSoundEffect>();
  m_effect->setSource(QUrl::fromLocalFile(info.absoluteFilePath()));
  m_effect->setLoopCount(1);
  m_effect->play();
  return true;
}

void CWaveSound::Stop() {
  if (m_effect) m_effect->stop();
}

bool CWaveSound::IsPlaying() const { return m_effect && m_effect->isPlaying(); }
