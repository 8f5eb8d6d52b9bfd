// The icon button: what it draws at rest, under the mouse, pressed and
// disabled, that a state change repaints it once and only then, its size,
// and the icons each dialog gives its buttons.
#include <QtTest>

#include <QEnterEvent>
#include <QPainter>
#include <QStyleHints>

#include "GuiTestSupport.h"
#include "controls/BtnST.h"
#include "controls/Compress1Dlg.h"
#include "controls/CompressDlg.h"
#include "controls/ExtractDlg.h"

namespace {

QIcon Solid(const QColor& color) {
  QPixmap pixmap(32, 32);
  pixmap.fill(color);
  return QIcon(pixmap);
}

// Counts its paints, so a test can tell a repaint from none.
class CountingButton : public CBtnST {
 public:
  using CBtnST::CBtnST;
  int paints = 0;

 protected:
  void paintEvent(QPaintEvent* event) override {
    ++paints;
    CBtnST::paintEvent(event);
  }
};

QImage Shot(QWidget& widget) { return widget.grab().toImage().convertToFormat(QImage::Format_RGB32); }

// Colours compared as the pixels they make.
QRgb Rgb(const QColor& color) { return color.rgb(); }

void SendEnter(QWidget& widget) {
  QEnterEvent event(QPointF(5, 5), widget.mapTo(widget.window(), QPointF(5, 5)), widget.mapToGlobal(QPointF(5, 5)));
  QCoreApplication::sendEvent(&widget, &event);
}

void SendLeave(QWidget& widget) {
  QEvent event(QEvent::Leave);
  QCoreApplication::sendEvent(&widget, &event);
}

// The picture `icon` shows at 32 x 32, for comparing icons.
QImage Picture(const QIcon& icon) { return icon.pixmap(QSize(32, 32), 1.0).toImage().convertToFormat(QImage::Format_ARGB32); }

CBtnST* ButtonNamed(QDialog& dialog, const QString& text) {
  for (CBtnST* button : dialog.findChildren<CBtnST*>())
    if (button->text() == text) return button;
  return nullptr;
}

QImage Picture(int id) { return Picture(QIcon(QStringLiteral(":/buttons/%1.svg").arg(id))); }

}  // namespace

class ButtonTest : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();

  void defaults();

  void statesDrawTheirIconAndFrame();
  void stateChangesRepaintOnce();
  void draggingOntoTheButton();
  void movingOffWhilePressed();
  void aPressAsItAppearsIsNotTaken();
  void disabledIsEmbossed();
  void noFocusRectangleInFlatLook();
  void iconWithoutCaptionIsCentred();
  void sizeHintFitsIconAndText();
  void dialogsGiveTheirButtonsTheirIcons();

 private:
  QWidget* m_window = nullptr;
  CountingButton* m_button = nullptr;
  const QColor m_hover = QColor(Qt::red);
  const QColor m_normal = QColor(Qt::blue);
  // Middle row of the button: where the icon is.
  int m_midY = 0;
};

void ButtonTest::init() {
  m_window = new QWidget;
  m_window->resize(300, 120);
  m_button = new CountingButton(QStringLiteral("&Go"), m_window);
  m_button->setGeometry(10, 10, 120, 44);
  m_button->SetIcons(Solid(m_hover), Solid(m_normal), 32, 32);
  m_midY = 22;
  QCursor::setPos(700, 500);  // the pointer starts off the button
  m_window->show();
  QVERIFY(QTest::qWaitForWindowExposed(m_window));
  QVERIFY(!m_button->underMouse());
  QVERIFY(!m_button->IsMouseOver());
}

void ButtonTest::cleanup() {
  delete m_window;
  m_window = nullptr;
}

void ButtonTest::defaults() {
  CBtnST button;
  QCOMPARE(CBtnST::GetVersionNumber(), 23);
  QCOMPARE(CBtnST::GetVersionText(), QStringLiteral("2.3"));
  QVERIFY(button.IsFlatLook());
  QVERIFY(button.IsTextShown());
  QCOMPARE(button.GetIconPlacement(), int(CBtnST::IconLeft));
  QVERIFY(!button.GetFlatFocus());
  QCOMPARE(button.GetNormalBackColor(), button.palette().color(QPalette::Active, QPalette::Button));
  QCOMPARE(button.GetHoverTextColor(), button.palette().color(QPalette::Active, QPalette::ButtonText));
  button.SetHoverBackColor(Qt::yellow);
  QCOMPARE(button.GetHoverBackColor(), QColor(Qt::yellow));
  button.ResetColors();
  QCOMPARE(button.GetHoverBackColor(), button.palette().color(QPalette::Active, QPalette::Button));
}

void ButtonTest::statesDrawTheirIconAndFrame() {
  const QPalette& pal = m_button->palette();
  const QColor face = pal.color(QPalette::Active, QPalette::Button);
  const QColor light = pal.color(QPalette::Active, QPalette::Light);
  const QColor dark = pal.color(QPalette::Active, QPalette::Dark);

  // At rest: flat (background only), normal icon 3 pixels in from the left.
  QImage shot = Shot(*m_button);
  QCOMPARE(shot.pixel(0, 0), Rgb(face));
  QCOMPARE(shot.pixel(119, 43), Rgb(face));
  QCOMPARE(shot.pixel(3, m_midY), Rgb(m_normal));
  QCOMPARE(shot.pixel(34, m_midY), Rgb(m_normal));
  QCOMPARE(shot.pixel(35, m_midY), Rgb(face));

  // Under the mouse: raised frame, hover icon in the same place.
  SendEnter(*m_button);
  QVERIFY(m_button->IsMouseOver());
  shot = Shot(*m_button);
  QCOMPARE(shot.pixel(0, 0), Rgb(light));
  QCOMPARE(shot.pixel(60, 0), Rgb(light));
  QCOMPARE(shot.pixel(119, 43), Rgb(dark));
  QCOMPARE(shot.pixel(3, m_midY), Rgb(m_hover));

  // Pressed: sunken frame, hover icon shifted one pixel right and down.
  QTest::mousePress(m_button, Qt::LeftButton, {}, QPoint(60, 20));
  QVERIFY(m_button->isDown());
  shot = Shot(*m_button);
  QCOMPARE(shot.pixel(0, 0), Rgb(dark));
  QCOMPARE(shot.pixel(119, 43), Rgb(light));
  QCOMPARE(shot.pixel(3, m_midY), Rgb(face));
  QCOMPARE(shot.pixel(4, m_midY), Rgb(m_hover));
  QCOMPARE(shot.pixel(35, m_midY), Rgb(m_hover));
  QSignalSpy clicked(m_button, &QPushButton::clicked);
  QTest::mouseRelease(m_button, Qt::LeftButton, {}, QPoint(60, 20));
  QCOMPARE(clicked.count(), 1);

  // Left: back to rest.
  SendLeave(*m_button);
  QVERIFY(!m_button->IsMouseOver());
  shot = Shot(*m_button);
  QCOMPARE(shot.pixel(0, 0), Rgb(face));
  QCOMPARE(shot.pixel(3, m_midY), Rgb(m_normal));
}

void ButtonTest::stateChangesRepaintOnce() {
  QTest::qWait(50);
  m_button->paints = 0;
  SendEnter(*m_button);
  QTRY_COMPARE(m_button->paints, 1);
  // Already hovered: moving about or entering again draws nothing new.
  SendEnter(*m_button);
  QTest::mouseMove(m_button, QPoint(30, 20));
  QTest::mouseMove(m_button, QPoint(40, 21));
  QTest::qWait(50);
  QCOMPARE(m_button->paints, 1);
  SendLeave(*m_button);
  QTRY_COMPARE(m_button->paints, 2);
  SendLeave(*m_button);
  QTest::qWait(50);
  QCOMPARE(m_button->paints, 2);
  // Losing the focus ends the hover look too.
  m_button->setFocus();
  SendEnter(*m_button);
  QTRY_VERIFY(m_button->IsMouseOver());
  m_button->clearFocus();
  QVERIFY(!m_button->IsMouseOver());
}

void ButtonTest::draggingOntoTheButton() {
  QWidget* other = new QWidget(m_window);
  other->setGeometry(150, 10, 100, 44);
  other->show();
  // Through the window, so that the application knows the button is held.
  QWindow* window = m_window->windowHandle();
  QTest::mousePress(window, Qt::LeftButton, {}, QPoint(160, 20));
  SendEnter(*m_button);
  QVERIFY(!m_button->IsMouseOver());
  QTest::mouseRelease(window, Qt::LeftButton, {}, QPoint(160, 20));
  SendEnter(*m_button);
  QVERIFY(m_button->IsMouseOver());
}

void ButtonTest::movingOffWhilePressed() {
  SendEnter(*m_button);
  QSignalSpy clicked(m_button, &QPushButton::clicked);
  QTest::mousePress(m_button, Qt::LeftButton, {}, QPoint(60, 20));
  QTest::mouseMove(m_button, QPoint(200, 20));
  QVERIFY(!m_button->IsMouseOver());
  QVERIFY(!m_button->isDown());
  QCOMPARE(Shot(*m_button).pixel(3, m_midY), Rgb(m_normal));
  // The button still holds the mouse: back on it, it is pressed again, and
  // releasing there clicks.
  QTest::mouseMove(m_button, QPoint(60, 20));
  QVERIFY(m_button->isDown());
  QCOMPARE(Shot(*m_button).pixel(4, m_midY), Rgb(m_hover));
  QTest::mouseRelease(m_button, Qt::LeftButton, {}, QPoint(60, 20));
  QCOMPARE(clicked.count(), 1);
  // Released off the button: no click.
  QTest::mousePress(m_button, Qt::LeftButton, {}, QPoint(60, 20));
  QTest::mouseMove(m_button, QPoint(200, 20));
  QTest::mouseRelease(m_button, Qt::LeftButton, {}, QPoint(200, 20));
  QCOMPARE(clicked.count(), 1);
}

// A button that appears under a pointer that has not moved (the options
// page's Cancel under the destination page's New) must not take the second
// click of a double-click meant for what lay there before; a press after a
// move, or after a double-click's time, is taken.
void ButtonTest::aPressAsItAppearsIsNotTaken() {
  QStyleHints* hints = QGuiApplication::styleHints();
  const int interval = hints->mouseDoubleClickInterval();
  hints->setMouseDoubleClickInterval(300);
  const auto restore = qScopeGuard([&] { hints->setMouseDoubleClickInterval(interval); });
  const QPoint there(60, 20), elsewhere(20, 30);
  QSignalSpy clicked(m_button, &QPushButton::clicked);
  auto appearUnderThePointer = [&] {
    m_window->hide();
    QCursor::setPos(m_button->mapToGlobal(there));
    m_window->show();
  };
  appearUnderThePointer();
  QTest::mouseClick(m_button, Qt::LeftButton, {}, there);
  QTest::mouseDClick(m_button, Qt::LeftButton, {}, there);
  QCOMPARE(clicked.count(), 0);
  QTest::mouseClick(m_button, Qt::LeftButton, {}, elsewhere);
  QCOMPARE(clicked.count(), 1);
  appearUnderThePointer();
  QTest::qWait(350);
  QTest::mouseClick(m_button, Qt::LeftButton, {}, there);
  QCOMPARE(clicked.count(), 2);
}

void ButtonTest::disabledIsEmbossed() {
  const QPalette& pal = m_button->palette();
  SendEnter(*m_button);
  m_button->setEnabled(false);
  QVERIFY(!m_button->IsMouseOver());
  const QImage shot = Shot(*m_button);
  // The icon's shape in the shadow colour, with a light copy showing one
  // pixel further right and down.
  QCOMPARE(shot.pixel(3, m_midY), Rgb(pal.color(QPalette::Active, QPalette::Dark)));
  QCOMPARE(shot.pixel(35, m_midY), Rgb(pal.color(QPalette::Active, QPalette::Light)));
  QCOMPARE(shot.pixel(0, 0), Rgb(pal.color(QPalette::Active, QPalette::Button)));
  // The caption is drawn in the shadow colour, not in the text colour.
  bool shadowText = false;
  bool normalText = false;
  for (int x = 38; x < 120; ++x)
    for (int y = 0; y < 44; ++y) {
      const QRgb pixel = shot.pixel(x, y);
      shadowText |= pixel == Rgb(pal.color(QPalette::Active, QPalette::Dark));
      normalText |= pixel == Rgb(pal.color(QPalette::Active, QPalette::ButtonText));
    }
  QVERIFY(shadowText);
  QVERIFY(!normalText);
  SendLeave(*m_button);
  m_button->setEnabled(true);  // not under the pointer: back at rest
  QCOMPARE(Shot(*m_button).pixel(3, m_midY), Rgb(m_normal));
}

void ButtonTest::noFocusRectangleInFlatLook() {
  const QImage unfocused = Shot(*m_button);
  m_button->setFocus();
  QVERIFY(m_button->hasFocus());
  QCOMPARE(Shot(*m_button), unfocused);
  m_button->SetFlatFocus(true, true);
  QVERIFY(Shot(*m_button) != unfocused);
}

void ButtonTest::iconWithoutCaptionIsCentred() {
  CBtnST play(m_window);
  play.setGeometry(10, 60, 41, 41);
  play.SetIcons(Solid(m_hover), QIcon(), 32, 32);
  play.show();
  const QImage shot = Shot(play);
  // (41 - 32) / 2 = 4 on each axis.
  QCOMPARE(shot.pixel(4, 4), Rgb(m_hover));
  QCOMPARE(shot.pixel(35, 35), Rgb(m_hover));
  QVERIFY(Rgb(shot.pixel(3, 20)) != Rgb(m_hover));
  QVERIFY(Rgb(shot.pixel(20, 3)) != Rgb(m_hover));
  QVERIFY(Rgb(shot.pixel(36, 20)) != Rgb(m_hover));
}

void ButtonTest::sizeHintFitsIconAndText() {
  const QFontMetrics metrics(m_button->font());
  CBtnST compress(QStringLiteral("Compress "), m_window);
  compress.SetIcons(Solid(m_hover), QIcon(), 32, 32);
  QSize hint = compress.sizeHint();
  QVERIFY(hint.width() >= 3 + 32 + 3 + metrics.horizontalAdvance(QStringLiteral("Compress ")));
  QVERIFY(hint.height() >= 32);
  QVERIFY(hint.height() >= metrics.height());
  // Trailing blanks and mnemonic marks: measured as shown.
  CBtnST cancel(QStringLiteral("Cancel  "), m_window);
  CBtnST plain(QStringLiteral("Cancel"), m_window);
  CBtnST marked(QStringLiteral("C&ancel"), m_window);
  QVERIFY(cancel.sizeHint().width() > plain.sizeHint().width());
  QCOMPARE(marked.sizeHint(), plain.sizeHint());
  // Icon above the caption: as wide as the wider, as high as both.
  compress.SetIconPlacement(CBtnST::IconTop);
  hint = compress.sizeHint();
  QVERIFY(hint.height() >= 32 + metrics.height());
  QVERIFY(hint.width() >= metrics.horizontalAdvance(QStringLiteral("Compress ")));
  compress.SetIconPlacement(7);  // ignored
  QCOMPARE(compress.GetIconPlacement(), int(CBtnST::IconTop));

  // At its hint the caption is drawn whole: ink stops short of the edge.
  compress.SetIconPlacement(CBtnST::IconLeft);
  compress.SetIcons(Solid(Qt::transparent), QIcon(), 32, 32);
  compress.resize(compress.sizeHint());
  compress.show();
  SendLeave(compress);  // shown under the pointer, it may have lit up
  const QImage shot = Shot(compress);
  const QColor face = compress.palette().color(QPalette::Active, QPalette::Button);
  for (int y = 0; y < shot.height(); ++y) QCOMPARE(shot.pixel(shot.width() - 1, y), Rgb(face));
}

void ButtonTest::dialogsGiveTheirButtonsTheirIcons() {
  ScratchFolder scratch;
  const auto run = [](QDialog& dialog) {
    QTimer::singleShot(0, &dialog, &QDialog::reject);
    dialog.exec();
  };
  struct Expect {
    const char* name;
    CBtnST* button;
    int hover;
    int normal;
  };
  CCompressDlg destination;
  run(destination);
  CCompress1Dlg options;
  run(options);
  CExtractDlg extract;
  run(extract);
  const QList<Expect> expected = {
      {"New", destination.NewButton(), 192, 192},
      {"destination Cancel", ButtonNamed(destination, "Cancel"), 187, 187},
      {"Compress", &options.m_btnCompress, 186, 185},
      {"options Cancel", &options.m_btnCancel, 187, 187},
      {"Play", &options.m_btnPlay, 191, 191},
      {"Extract", extract.ExtractButton(), 185, 186},
      {"extract Cancel", ButtonNamed(extract, "Cancel"), 187, 187},
  };
  for (const Expect& e : expected) {
    QVERIFY2(e.button, e.name);
    QVERIFY2(e.button->GetFlatFocus(), e.name);  // a keyboard user sees where the focus is
    QVERIFY2(Picture(e.button->CurrentIcon()) == Picture(e.normal), e.name);
    SendEnter(*e.button);
    QVERIFY2(Picture(e.button->CurrentIcon()) == Picture(e.hover), e.name);
    SendLeave(*e.button);
  }
}

QTEST_MAIN(ButtonTest)
#include "tst_button.moc"
