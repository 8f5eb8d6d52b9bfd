// Plays a ".wav" file for the options page's play button. Playing does not
// block the program (a second press stops it); a headerless ".pcm" plays
// nothing, and without a sound device nothing is played and nothing fails
// loudly: the outputs are checked first, since a sound effect would otherwise
// report "playing" forever.
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
