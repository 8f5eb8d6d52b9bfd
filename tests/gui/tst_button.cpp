// The icon button's states and the sound class without a sound device.
#include <QtTest>

#include <QElapsedTimer>
#include <QEnterEvent>
#include <QImage>
#include <QPainter>
#include <QTemporaryDir>

#include "controls/BtnST.h"
#include "controls/WaveSound.h"

namespace {

// Two icons of plain colours, so the rendering says which one is drawn.
QIcon Plain(const QColor& colour) {
  QPixmap pixmap(32, 32);
  pixmap.fill(colour);
  return QIcon(pixmap);
}

QImage Render(CBtnST& button) { return button.grab().toImage(); }

QColor Centre(const QImage& image, const QRect& where) { return image.pixelColor(where.center()); }

void Enter(CBtnST& button) {
  QEnterEvent event(QPointF(5, 5), QPointF(5, 5), button.mapToGlobal(QPointF(5, 5)));
  QApplication::sendEvent(&button, &event);
}

void Leave(CBtnST& button) {
  QEvent event(QEvent::Leave);
  QApplication::sendEvent(&button, &event);
}

}  // namespace

class ButtonTest : public QObject {
  Q_OBJECT

 private slots:
  void versionAndDefaults() {
    CBtnST button;
    QCOMPARE(CBtnST::GetVersionNumber(), 23);
    QCOMPARE(QString::fromLatin1(CBtnST::GetVersionText()), QStringLiteral("2.3"));
    QVERIFY(button.IsFlatLook());
    QVERIFY(button.IsTextShown());
    QCOMPARE(button.GetIconPlacement(), 0);
    QVERIFY(!button.GetFlatFocus());
    button.SetIconPlacement(7);  // ignored
    QCOMPARE(button.GetIconPlacement(), 0);
  }

  void hoverShowsTheHoverIconAndFrame() {
    CBtnST button(QStringLiteral("Compress "));
    button.SetIcons(Plain(Qt::red), Plain(Qt::blue), 32, 32);
    button.resize(button.sizeHint());
    const QRect icon(3, (button.height() - 32) / 2, 32, 32);
    QImage rest = Render(button);
    QCOMPARE(Centre(rest, icon), QColor(Qt::blue));
    // At rest a flat button is its background alone: no frame.
    QCOMPARE(rest.pixelColor(0, button.height() / 2), rest.pixelColor(1, button.height() / 2));

    Enter(button);
    QVERIFY(button.IsMouseOver());
    QImage hover = Render(button);
    QCOMPARE(Centre(hover, icon), QColor(Qt::red));
    QVERIFY(hover.pixelColor(0, button.height() / 2) != hover.pixelColor(1, button.height() / 2));

    Leave(button);
    QVERIFY(!button.IsMouseOver());
    QCOMPARE(Centre(Render(button), icon), QColor(Qt::blue));
  }

  void pressedShiftsByOnePixel() {
    CBtnST button;
    button.SetIcons(Plain(Qt::green), QIcon(), 32, 32);
    button.resize(60, 50);
    const QImage rest = Render(button);
    button.setDown(true);
    const QImage pressed = Render(button);
    // The icon (centred, no caption) moves one pixel right and down.
    const int left = (60 - 32) / 2, top = (50 - 32) / 2;
    QCOMPARE(rest.pixelColor(left, top), QColor(Qt::green));
    QVERIFY(pressed.pixelColor(left, top) != QColor(Qt::green));
    QCOMPARE(pressed.pixelColor(left + 1, top + 1), QColor(Qt::green));
  }

  void disabledDrawsGreyAndDropsHover() {
    CBtnST button(QStringLiteral("&Extract"));
    button.SetIcons(Plain(Qt::red), Plain(Qt::blue), 32, 32);
    button.resize(button.sizeHint());
    Enter(button);
    button.setEnabled(false);
    QVERIFY(!button.IsMouseOver());
    const QRect icon(3, (button.height() - 32) / 2, 32, 32);
    const QColor c = Centre(Render(button), icon);
    QVERIFY2(c != QColor(Qt::blue) && c != QColor(Qt::red), "the disabled icon is drawn greyed");
  }

  void sizeFitsIconAndText() {
    CBtnST button(QStringLiteral("Cancel  "));
    button.SetIcons(Plain(Qt::red), QIcon(), 32, 32);
    const QSize hint = button.sizeHint();
    QVERIFY(hint.height() >= 32);
    QVERIFY(hint.width() >= 32 + button.fontMetrics().horizontalAdvance(QStringLiteral("Cancel")));
    button.SetIconPlacement(1);
    QVERIFY(button.sizeHint().height() >= 32 + button.fontMetrics().height());
  }

  void soundWithoutADevice() {
    QTemporaryDir dir;
    const QString pcm = dir.filePath(QStringLiteral("a.pcm"));
    QFile f(pcm);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(1000, '\0'));
    f.close();
    CWaveSound sound;
    QVERIFY(!sound.PlayFile(pcm));  // headerless: nothing plays
    QVERIFY(!sound.IsPlaying());
    QVERIFY(!sound.PlayFile(dir.filePath(QStringLiteral("missing.wav"))));
    // A real ".wav": without a sound device this returns at once and plays nothing.
    const QString wav = QStringLiteral(OSTINATO_SAMPLES "/digits.wav");
    QElapsedTimer timer;
    timer.start();
    sound.PlayFile(wav);
    sound.Stop();
    QVERIFY(timer.elapsed() < 5000);
    QVERIFY(!sound.IsPlaying());
  }
};

QTEST_MAIN(ButtonTest)
#include "tst_button.moc"
