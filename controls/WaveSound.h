// Plays a ".wav" file for the options page's play button. Playing does not
// block the program; without a sound device nothing is played and nothing
// fails loudly.
#pragma once

#include <QString>
#include <memory>

class QSoundEffect;

class CWaveSound {
 public:
  CWaveSound();
  ~CWaveSound();
  CWaveSound(const CWaveSound&) = delete;
  CWaveSound& operator=(const CWaveSound&) = delete;

  // Stops what plays, then starts `path`. False for anything but a readable
  // ".wav" (a headerless ".pcm" plays nothing) and when there is no device.
  bool PlayFile(const QString& path);
  void Stop();
  bool IsPlaying() const;

 private:
  std::unique_ptr<QSoundEffect> m_effect;
};
