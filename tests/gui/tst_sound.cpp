// Sound playback as this machine allows it: without a sound output nothing
// plays, nothing waits and nothing fails loudly; what is not a RIFF WAVE
// image never plays; and the options page's play button stays quiet.
#include <QtTest>

#include <QAudioDevice>
#include <QBuffer>
#include <QElapsedTimer>
#include <QMediaDevices>

#include "GuiTestSupport.h"
#include "controls/Compress1Dlg.h"
#include "controls/WaveSound.h"

namespace {

void PutU32(QByteArray& out, quint32 value) {
  for (int i = 0; i < 4; ++i) out.append(static_cast<char>((value >> (8 * i)) & 0xff));
}

qint64 Duration(const QByteArray& bytes) {
  QBuffer buffer;
  buffer.setData(bytes);
  buffer.open(QIODevice::ReadOnly);
  return CWaveSound::WaveDurationMs(buffer);
}

// MakeWave's image with an odd-sized chunk put before its "fmt " chunk.
QByteArray WithListChunk(const QByteArray& wave) {
  QByteArray chunk("LIST");
  PutU32(chunk, 3);
  chunk.append("abc");
  chunk.append('\0');  // pad byte of an odd chunk
  return wave.left(12) + chunk + wave.mid(12);
}

}  // namespace

class SoundTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void waveDuration_data();
  void waveDuration();
  void noDeviceNeitherHangsNorCrashes();
  void headerlessSourcesNeverPlay();
  void memorySound();
  void playButtonStaysQuiet();

 private:
  bool m_hasOutput = false;
};

void SoundTest::initTestCase() { m_hasOutput = !QMediaDevices::audioOutputs().isEmpty(); }

void SoundTest::waveDuration_data() {
  QTest::addColumn<QByteArray>("bytes");
  QTest::addColumn<qint64>("ms");
  // MakeWave writes 8000 frames a second.
  QTest::newRow("mono second") << MakeWave(1, 8000) << qint64(1000);
  QTest::newRow("stereo half second") << MakeWave(2, 4000) << qint64(500);
  QTest::newRow("empty data") << MakeWave(1, 0) << qint64(0);
  QTest::newRow("chunk before fmt") << WithListChunk(MakeWave(1, 8000)) << qint64(1000);
  // A data length beyond the file's end counts only what is there.
  QTest::newRow("cut short") << MakeWave(1, 8000).left(44 + 8000) << qint64(500);
  QTest::newRow("headerless") << MakePcm(8000) << qint64(-1);
  QTest::newRow("riff, not wave") << QByteArray("RIFF\x04\0\0\0AVI ", 12) + MakePcm(100) << qint64(-1);
  QByteArray noFormat("RIFF");
  PutU32(noFormat, 4 + 8 + 200);
  noFormat.append("WAVEdata");
  PutU32(noFormat, 200);
  noFormat.append(MakePcm(100));
  QTest::newRow("no fmt chunk") << noFormat << qint64(-1);
  QTest::newRow("header only") << MakeWave(1, 8000).left(20) << qint64(-1);
  QTest::newRow("empty file") << QByteArray() << qint64(-1);
}

void SoundTest::waveDuration() {
  QFETCH(QByteArray, bytes);
  QFETCH(qint64, ms);
  QCOMPARE(Duration(bytes), ms);
}

void SoundTest::noDeviceNeitherHangsNorCrashes() {
  if (m_hasOutput) QSKIP("this machine has a sound output");
  ScratchFolder scratch;
  const QString wave = scratch.Write("take.wav", MakeWave(2, 8000 * 60));
  CWaveSound sound;
  QCOMPARE(sound.GetDeviceCount(), 0);
  QElapsedTimer clock;
  clock.start();
  QVERIFY(!sound.PlayFile(wave));
  QVERIFY(!sound.IsPlaying());
  QVERIFY(sound.Stop());
  QVERIFY(!sound.PlayFile(wave));  // and again, after a stop
  QVERIFY(clock.elapsed() < 5000);  // a minute of sound: nobody waited for it
  QTest::qWait(100);
  QVERIFY(!sound.IsPlaying());
}

void SoundTest::headerlessSourcesNeverPlay() {
  ScratchFolder scratch;
  CWaveSound sound;
  QVERIFY(!sound.PlayFile(scratch.Write("take.pcm", MakePcm(8000))));
  QVERIFY(!sound.IsPlaying());
  // The bytes decide, not the name.
  QVERIFY(!sound.PlayFile(scratch.Write("named.wav", MakePcm(8000))));
  QVERIFY(!sound.PlayFile(scratch.File("missing.wav")));
  QVERIFY(!sound.PlayFile(QString()));
  QVERIFY(!sound.IsPlaying());
}

void SoundTest::memorySound() {
  ScratchFolder scratch;
  CWaveSound sound;
  QVERIFY(!sound.IsLoaded());
  QVERIFY(!sound.Play(false));  // nothing loaded
  QVERIFY(!sound.LoadFile(scratch.File("missing.wav")));
  QVERIFY(!sound.IsLoaded());
  QVERIFY(sound.LoadFile(scratch.Write("take.wav", MakeWave(1, 800))));
  QVERIFY(sound.IsLoaded());
  QCOMPARE(sound.Play(false), m_hasOutput);
  QVERIFY(sound.Stop());
  QVERIFY(!sound.IsPlaying());
  QVERIFY(sound.Free());
  QVERIFY(!sound.IsLoaded());
  QVERIFY(!sound.Play(true));
  // A loaded headerless file is not played either.
  QVERIFY(sound.LoadFile(scratch.Write("take.pcm", MakePcm(800))));
  QVERIFY(!sound.Play(false));
}

void SoundTest::playButtonStaysQuiet() {
  ScratchFolder scratch;
  PromptRecorder prompts;
  CCompress1Dlg page;
  for (const QString& source : {scratch.Write("take.pcm", MakePcm(8000)), scratch.Write("take.wav", MakeWave(1, 8000))}) {
    page.m_strSourcePath = source;
    QElapsedTimer clock;
    clock.start();
    page.m_btnPlay.click();
    page.m_btnPlay.click();  // the second press stops whatever plays
    QVERIFY(clock.elapsed() < 5000);
    QVERIFY(!page.m_sound.IsPlaying());
  }
  QVERIFY(prompts.records.isEmpty());
}

QTEST_MAIN(SoundTest)
#include "tst_sound.moc"
