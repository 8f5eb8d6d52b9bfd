// Plays RIFF WAVE sounds for the options page's play button, in the
// background: the window stays usable while a sound plays, and Stop (or the
// next play) ends it. A file that is not a RIFF WAVE image (a headerless
// ".pcm") plays nothing, and so does everything when the machine has no
// sound output; neither shows a message nor waits.
#pragma once

#include <QByteArray>
#include <QString>
#include <memory>

class QIODevice;
class QSoundEffect;
class QTemporaryFile;
class QTimer;

class CWaveSound {
 public:
  CWaveSound();
  ~CWaveSound();
  CWaveSound(const CWaveSound&) = delete;
  CWaveSound& operator=(const CWaveSound&) = delete;

  // Stops what plays, then starts the file `path` once. False when the file
  // cannot be read, is not a RIFF WAVE image, or there is no sound output.
  bool PlayFile(const QString& path);

  // A sound held in memory: LoadFile reads a whole file (RIFF WAVE) and Play
  // plays it, once or looping. Play without a loaded sound returns false and
  // leaves a playing sound alone.
  bool LoadFile(const QString& path);
  bool Play(bool loop = false);
  bool IsLoaded() const { return m_bLoaded; }
  // Stops and forgets the loaded sound.
  bool Free();

  // Ends the sound that plays, if any.
  bool Stop();
  bool IsPlaying() const;

  // The sound outputs the machine has, counted at the first call.
  int GetDeviceCount() const;

  // How long the RIFF WAVE image in `file` (read from its start) plays, in
  // milliseconds; -1 when it is not one.
  static qint64 WaveDurationMs(QIODevice& file);

 private:
  bool Start(const QString& path, qint64 durationMs, bool loop);

  mutable int m_nDeviceCount = -1;
  bool m_bLoaded = false;
  QByteArray m_data;
  std::unique_ptr<QTemporaryFile> m_loadedFile;  // m_data on disk, for the player
  std::unique_ptr<QSoundEffect> m_effect;
  // Ends a sound that outlives its length by far: a sound device that stops
  // answering must not leave the button "playing" for ever.
  std::unique_ptr<QTimer> m_watchdog;
};
