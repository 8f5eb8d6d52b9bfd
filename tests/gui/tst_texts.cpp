// The texts and numbers the program computes without a person: the row's
// date, time and ratio, the restored file's name, the main window's first
// size and place, where the help is looked for, and that the program says
// nothing on its own at start.
#include <QtTest>

#include "app/MainFrm.h"
#include "app/Ostinato.h"
#include "app/OstinatoView.h"

class TextsTest : public QObject {
  Q_OBJECT

 private slots:
  void dateAndTime_data();
  void dateAndTime();
  void ratio_data();
  void ratio();
  void outputName_data();
  void outputName();
  void initialGeometry_data();
  void initialGeometry();
  void helpPath();
  void startIsSilent();
};

void TextsTest::dateAndTime_data() {
  QTest::addColumn<QDateTime>("when");
  QTest::addColumn<QString>("date");
  QTest::addColumn<QString>("time");
  QTest::newRow("no leading zeros") << QDateTime(QDate(2000, 12, 8), QTime(9, 5)) << "8/12/2000" << "9:5";
  QTest::newRow("midnight") << QDateTime(QDate(2024, 1, 1), QTime(0, 0)) << "1/1/2024" << "0:0";
  QTest::newRow("two digits") << QDateTime(QDate(1999, 10, 31), QTime(23, 59, 59)) << "31/10/1999" << "23:59";
}

void TextsTest::dateAndTime() {
  QFETCH(QDateTime, when);
  QFETCH(QString, date);
  QFETCH(QString, time);
  QCOMPARE(COstinatoView::DateText(when.date()), date);
  QCOMPARE(COstinatoView::TimeText(when.time()), time);
}

void TextsTest::ratio_data() {
  QTest::addColumn<qint64>("size");
  QTest::addColumn<qint64>("packed");
  QTest::addColumn<QString>("text");
  QTest::newRow("forty per cent") << qint64(1000) << qint64(600) << "40.00%";
  QTest::newRow("below one") << qint64(200) << qint64(199) << ".50%";
  QTest::newRow("nothing left") << qint64(1000) << qint64(0) << "100.00%";
  QTest::newRow("no saving") << qint64(1000) << qint64(1000) << ".00%";
  QTest::newRow("rounded") << qint64(3) << qint64(2) << "33.33%";
  QTest::newRow("rounded up") << qint64(3) << qint64(1) << "66.67%";
  QTest::newRow("archive longer") << qint64(1000) << qint64(1250) << "-25.00%";
  QTest::newRow("archive a little longer") << qint64(1000) << qint64(1005) << "-.50%";
  QTest::newRow("empty source") << qint64(0) << qint64(40) << "0.00%";
  QTest::newRow("beyond 32 bits") << qint64(6000000000) << qint64(3000000000) << "50.00%";
}

void TextsTest::ratio() {
  QFETCH(qint64, size);
  QFETCH(qint64, packed);
  QFETCH(QString, text);
  QCOMPARE(COstinatoView::RatioText(size, packed), text);
}

void TextsTest::outputName_data() {
  QTest::addColumn<QString>("archive");
  QTest::addColumn<int>("firstByte");
  QTest::addColumn<QString>("output");
  QTest::newRow("wave") << "song.otq" << 1 << "song.wav";
  QTest::newRow("pcm") << "song.otq" << 0 << "song.pcm";
  QTest::newRow("any other byte") << "song.otq" << 7 << "song.pcm";
  QTest::newRow("short name") << "ab" << 1 << ".wav";
  QTest::newRow("non-ASCII name") << QString::fromUtf8("Grüße.otq") << 1 << QString::fromUtf8("Grüße.wav");
}

void TextsTest::outputName() {
  QFETCH(QString, archive);
  QFETCH(int, firstByte);
  QFETCH(QString, output);
  QCOMPARE(COstinatoView::OutputName(archive, static_cast<quint8>(firstByte)), output);
}

void TextsTest::initialGeometry_data() {
  QTest::addColumn<QSize>("screen");
  QTest::addColumn<QRect>("frame");
  QTest::newRow("640x480") << QSize(640, 480) << QRect(126, 115, 387, 250);
  QTest::newRow("1024x768") << QSize(1024, 768) << QRect(202, 259, 620, 250);
  QTest::newRow("1920x1080") << QSize(1920, 1080) << QRect(378, 415, 1163, 250);
}

void TextsTest::initialGeometry() {
  QFETCH(QSize, screen);
  QFETCH(QRect, frame);
  QCOMPARE(CMainFrame::InitialGeometry(screen), frame);
}

void TextsTest::helpPath() {
  QCOMPARE(COstinatoApp::HelpPath("/prog"), QString("/prog/OstinatoHelp.html"));
  QCOMPARE(COstinatoApp::HelpPath("/"), QString("/OstinatoHelp.html"));
  QCOMPARE(COstinatoApp::HelpPath("/prog/"), QString("/prog/OstinatoHelp.html"));

  QTemporaryDir dir;
  const QString path = COstinatoApp::HelpPath(dir.path());
  QCOMPARE(COstinatoApp::HelpPage(path), QUrl("qrc:/help/index.html"));
  QFile file(path);
  QVERIFY(file.open(QIODevice::WriteOnly));
  file.write("<html><body>help</body></html>");
  file.close();
  QCOMPARE(COstinatoApp::HelpPage(path), QUrl::fromLocalFile(path));
}

namespace {
QStringList g_messages;
void Record(QtMsgType, const QMessageLogContext&, const QString& text) {
  // The headless platform of the tests speaks for itself; it is not the program's.
  if (text.contains(QLatin1String("This plugin does not support"))) return;
  g_messages << text;
}
}  // namespace

// A machine without a sound server (or without any sound at all) is no
// failure of the program: making the main window with its dialogs prints
// nothing.
void TextsTest::startIsSilent() {
  qputenv("PULSE_SERVER", "unix:/nonexistent/pulse-socket");
  g_messages.clear();
  const QtMessageHandler previous = qInstallMessageHandler(Record);
  {
    CMainFrame frame(false);
    frame.show();
    QCoreApplication::processEvents();
  }
  qInstallMessageHandler(previous);
  QVERIFY2(g_messages.isEmpty(), qPrintable(g_messages.join('\n')));
}

QTEST_MAIN(TextsTest)
#include "tst_texts.moc"
