// Drives the desktop program as a person does, from a thread of its own:
// the pointer is moved and clicked and keys are typed through the X server
// (xdotool), so each event goes to whatever window and control lies at that
// place on the screen, as it would for a person. The program itself runs on
// the main thread, unaware of the driver; the driver looks at it only
// through calls that the main thread runs between its events.
#pragma once

#include <QPoint>
#include <QPointer>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>

// Ends a scenario: what the person expected and did not see.
class DriveFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Driver {
 public:
  // Screenshots are saved in `shotFolder` when it is not empty.
  explicit Driver(QString shotFolder = QString());

  // Runs `f` on the main thread between its events and returns its result.
  // A program that does not answer for a minute has hung: the run ends.
  template <class F>
  auto Gui(F f) -> decltype(f());

  // Waits until `ready` (run on the main thread) holds; fails with `what`
  // after `timeout`.
  void WaitFor(const QString& what, std::function<bool()> ready,
               std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // Waits until `window` is shown, exposed and has the keyboard focus.
  void WaitActive(const QString& what, std::function<QWidget*()> window,
                  std::chrono::milliseconds timeout = std::chrono::seconds(30));
  void Pause(std::chrono::milliseconds time);

  // Where `widget`'s point `at` (its centre when null) is on the screen.
  QPoint ScreenPoint(const QPointer<QWidget>& widget, std::optional<QPoint> at = std::nullopt);
  // The centre of the window of another program, found by its name.
  QPoint WindowCentre(const QString& name);
  void MoveTo(QPoint screen);
  void Click(QPoint screen);
  void Click(const QPointer<QWidget>& widget, std::optional<QPoint> at = std::nullopt);
  void DoubleClick(QPoint screen);
  // Presses at `from`, moves in steps to `to` and lets go there.
  void Drag(QPoint from, QPoint to);
  // Types `text` into the window that has the keyboard focus.
  void Type(const QString& text);
  // Presses keys by their X names ("Return", "Escape", "ctrl+o", "Tab").
  void Key(const QString& keys);

  // Saves the screen area of `window`'s frame (the whole screen when null)
  // as NAME.png in the shot folder.
  void Shot(const QString& name, const QPointer<QWidget>& window = nullptr);
  bool TakesShots() const { return !m_shotFolder.isEmpty(); }

 private:
  void RunOnGui(std::function<void()> f);
  void Xdo(const QStringList& arguments);
  QString XdoOutput(const QStringList& arguments);
  QRect WindowArea(WId window);

  QString m_shotFolder;
};

// The scenario of one test: runs `scenario` on a driver thread while the
// main thread runs `onGui` (which may block in modal loops, as the program
// does) and then the event loop, until the scenario ends. Returns the
// failure, empty when the scenario ran through.
QString RunScenario(std::function<void(Driver&)> scenario, std::function<void()> onGui = {},
                    std::chrono::seconds limit = std::chrono::seconds(120));

template <class F>
auto Driver::Gui(F f) -> decltype(f()) {
  using Result = decltype(f());
  if constexpr (std::is_void_v<Result>) {
    RunOnGui([&] { f(); });
  } else {
    auto result = std::make_shared<std::optional<Result>>();
    RunOnGui([&, result] { result->emplace(f()); });
    return std::move(**result);
  }
}
