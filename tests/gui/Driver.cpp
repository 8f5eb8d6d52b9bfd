#include "Driver.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QTimer>
#include <QElapsedTimer>
#include <QMetaObject>
#include <QPixmap>
#include <QProcess>
#include <QScreen>
#include <QSemaphore>
#include <QTest>
#include <QWindow>
#include <atomic>
#include <cstdio>
#include <thread>

using namespace std::chrono_literals;

namespace {

// How long the main thread may be busy before the program counts as hung.
constexpr auto kGuiAnswer = 60s;

}  // namespace

Driver::Driver(QString shotFolder) : m_shotFolder(std::move(shotFolder)) {
  if (!m_shotFolder.isEmpty()) QDir().mkpath(m_shotFolder);
}

void Driver::RunOnGui(std::function<void()> f) {
  auto done = std::make_shared<QSemaphore>();
  QMetaObject::invokeMethod(
      qApp, [f, done] {
        f();
        done->release();
      },
      Qt::QueuedConnection);
  if (!done->tryAcquire(1, static_cast<int>(std::chrono::milliseconds(kGuiAnswer).count()))) {
    // `f` still refers to the scenario's state: nothing can go on safely.
    std::fprintf(stderr, "FAIL: the program did not handle events for %lld s\n",
                 static_cast<long long>(kGuiAnswer.count()));
    std::fflush(stderr);
    std::_Exit(1);
  }
}

void Driver::WaitFor(const QString& what, std::function<bool()> ready, std::chrono::milliseconds timeout) {
  QElapsedTimer clock;
  clock.start();
  while (!Gui(ready)) {
    if (clock.elapsed() > timeout.count())
      throw DriveFailure(QStringLiteral("waited %1 s for %2").arg(timeout.count() / 1000.0).arg(what).toStdString());
    std::this_thread::sleep_for(20ms);
  }
}

void Driver::WaitActive(const QString& what, std::function<QWidget*()> window, std::chrono::milliseconds timeout) {
  WaitFor(what, [window] {
    QWidget* shown = window();
    return shown && shown->isVisible() && shown->windowHandle() && shown->windowHandle()->isExposed() &&
           shown->isActiveWindow();
  }, timeout);
  // The window manager has placed the window; let the last moves settle.
  Pause(150ms);
}

void Driver::Pause(std::chrono::milliseconds time) { std::this_thread::sleep_for(time); }

QPoint Driver::ScreenPoint(const QPointer<QWidget>& widget, std::optional<QPoint> at) {
  // The point within its window, and the window's X id: where the window
  // really is, the X server says (the window manager may have moved it
  // without the program knowing yet).
  const auto place = Gui([&]() -> std::optional<std::pair<WId, QPoint>> {
    if (!widget || !widget->isVisible()) return std::nullopt;
    QWidget* window = widget->window();
    return std::pair(window->winId(), widget->mapTo(window, at.value_or(widget->rect().center())));
  });
  if (!place) throw DriveFailure("a control to click is not on the screen");
  return WindowArea(place->first).topLeft() + place->second;
}

QRect Driver::WindowArea(WId window) {
  // xwininfo gives the window's own corner (xdotool would give its frame's).
  QProcess xwininfo;
  xwininfo.start(QStringLiteral("xwininfo"), {QStringLiteral("-id"), QString::number(window)});
  if (!xwininfo.waitForFinished(20000) || xwininfo.exitCode() != 0)
    throw DriveFailure("xwininfo failed: " + xwininfo.readAllStandardError().toStdString());
  QRect area(-1, -1, 0, 0);
  for (const QString& line : QString::fromLocal8Bit(xwininfo.readAllStandardOutput()).split('\n')) {
    const QString text = line.trimmed();
    const int value = text.section(':', 1).trimmed().toInt();
    if (text.startsWith("Absolute upper-left X:")) area.moveLeft(value);
    if (text.startsWith("Absolute upper-left Y:")) area.moveTop(value);
    if (text.startsWith("Width:")) area.setWidth(value);
    if (text.startsWith("Height:")) area.setHeight(value);
  }
  if (area.x() < 0 || area.y() < 0) throw DriveFailure("xwininfo did not tell where the window is");
  return area;
}

QPoint Driver::WindowCentre(const QString& name) {
  QElapsedTimer clock;
  clock.start();
  while (true) {
    QProcess search;
    search.start(QStringLiteral("xdotool"), {"search", "--onlyvisible", "--name", "^" + name + "$"});
    search.waitForFinished(20000);
    const QString ids = QString::fromLocal8Bit(search.readAllStandardOutput()).trimmed();
    if (!ids.isEmpty()) {
      Pause(300ms);  // the window manager has placed it
      return WindowArea(ids.section('\n', 0, 0).toULongLong()).center();
    }
    if (clock.elapsed() > 20000) throw DriveFailure(("no window named " + name).toStdString());
    Pause(100ms);
  }
}

QString Driver::XdoOutput(const QStringList& arguments) {
  QProcess xdotool;
  xdotool.start(QStringLiteral("xdotool"), arguments);
  if (!xdotool.waitForFinished(20000) || xdotool.exitCode() != 0)
    throw DriveFailure(("xdotool " + arguments.join(' ') + " failed: " + xdotool.readAllStandardError()).toStdString());
  return QString::fromLocal8Bit(xdotool.readAllStandardOutput());
}

void Driver::Xdo(const QStringList& arguments) { XdoOutput(arguments); }

void Driver::MoveTo(QPoint screen) {
  Xdo({"mousemove", "--sync", QString::number(screen.x()), QString::number(screen.y())});
  Pause(60ms);
}

void Driver::Click(QPoint screen) {
  MoveTo(screen);
  Xdo({"click", "1"});
  Pause(60ms);
}

void Driver::Click(const QPointer<QWidget>& widget, std::optional<QPoint> at) { Click(ScreenPoint(widget, at)); }

void Driver::DoubleClick(QPoint screen) {
  MoveTo(screen);
  Xdo({"click", "--repeat", "2", "--delay", "80", "1"});
  Pause(60ms);
}

void Driver::Drag(QPoint from, QPoint to) {
  MoveTo(from);
  Xdo({"mousedown", "1"});
  Pause(150ms);
  constexpr int kSteps = 12;
  for (int i = 1; i <= kSteps; ++i) {
    const QPoint step = from + (to - from) * i / kSteps;
    Xdo({"mousemove", QString::number(step.x()), QString::number(step.y())});
    Pause(40ms);
  }
  // A person's hand rests on the target a moment before letting go.
  for (const QPoint& rest : {to + QPoint(2, 1), to}) {
    Pause(150ms);
    Xdo({"mousemove", QString::number(rest.x()), QString::number(rest.y())});
  }
  Pause(300ms);
  Xdo({"mouseup", "1"});
  Pause(100ms);
}

void Driver::Type(const QString& text) {
  Xdo({"type", "--delay", "8", "--", text});
  Pause(60ms);
}

void Driver::Key(const QString& keys) {
  Xdo({"key", "--delay", "30", keys});
  Pause(60ms);
}

void Driver::Shot(const QString& name, const QPointer<QWidget>& window) {
  if (m_shotFolder.isEmpty()) return;
  Pause(200ms);  // the last repaints reach the screen
  Gui([&] {
    QScreen* screen = QGuiApplication::primaryScreen();
    QRect area = screen->geometry();
    if (window) area = window->frameGeometry();
    screen->grabWindow(0, area.x(), area.y(), area.width(), area.height())
        .save(QDir(m_shotFolder).filePath(name + QStringLiteral(".png")));
  });
}

QString RunScenario(std::function<void(Driver&)> scenario, std::function<void()> onGui, std::chrono::seconds limit) {
  std::atomic<bool> done{false};
  QString failure;
  const QString shots = qEnvironmentVariable("OSTINATO_SHOTS");
  std::thread driver([&] {
    try {
      Driver person(shots);
      scenario(person);
    } catch (const std::exception& error) {
      failure = QString::fromStdString(error.what());
      if (!shots.isEmpty()) {
        // What the screen showed when the scenario gave up.
        static int failures = 0;
        Driver(shots).Shot(QStringLiteral("failure-%1").arg(++failures));
      }
      // The program may wait in a dialog that the scenario did not close:
      // close them all, so that the main thread comes back.
      QMetaObject::invokeMethod(qApp, [] {
        auto* closer = new QTimer(qApp);
        QObject::connect(closer, &QTimer::timeout, closer, [closer] {
          QWidget* modal = QApplication::activeModalWidget();
          if (auto* dialog = qobject_cast<QDialog*>(modal)) dialog->reject();
          else if (modal) modal->close();
          else closer->deleteLater();
        });
        closer->start(100);
      }, Qt::QueuedConnection);
    }
    done = true;
  });
  if (onGui) onGui();
  QElapsedTimer clock;
  clock.start();
  while (!done && clock.elapsed() < std::chrono::milliseconds(limit).count()) QTest::qWait(20);
  if (!done) {
    std::fprintf(stderr, "FAIL: a scenario ran past %lld s\n", static_cast<long long>(limit.count()));
    std::fflush(stderr);
    std::_Exit(1);
  }
  driver.join();
  return failure;
}
