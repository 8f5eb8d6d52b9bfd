// The progress window of a job: a message, a bar and a " Cancel " button in
// a small window that stays on top. The caption reads "Progress [42%]". Each
// step lets pending events run, so the program repaints and hears the
// cancel button or Escape. While it is modal the main window is disabled.
// The window's last position is kept in the settings (Settings/X, Settings/Y)
// and the next progress window opens there.
#pragma once

#include <QPointer>
#include <QWidget>

#include "common/JobInterfaces.h"
#include "controls/PressGuard.h"
#include "controls/StopSignals.h"

class QLabel;
class QProgressBar;
class QPushButton;

class CProgressWnd : public QWidget, public ost::JobProgress {
  Q_OBJECT

 public:
  // No window until Create or BeginModal.
  CProgressWnd();
  CProgressWnd(QWidget* parent, const QString& title = QStringLiteral("Progress"), bool smooth = false);
  ~CProgressWnd() override;

  bool Create(QWidget* parent, const QString& title, bool smooth = false);
  // For a window made by the default constructor: no window until the job
  // begins (Begin), then one owned by `parent` with `title`. A window shown
  // when made and hidden until its job began was at times never put on the
  // screen again by the window manager of a loaded machine.
  void CreateWhenBegun(QWidget* parent, const QString& title = QStringLiteral("Progress"));
  bool BeginModal(const QString& title = QStringLiteral("Progress"), bool smooth = false);
  void SetRange(qint64 lower, qint64 upper, qint64 step = 1);
  void SetText(const QString& text);
  qint64 SetPos(qint64 pos);
  qint64 StepIt();
  qint64 OffsetPos(qint64 delta);
  qint64 SetStep(qint64 step);
  void PumpMessages(bool cancelOnEscape = true);
  bool IsCancelled() const { return m_bCancelled || gui::StopSignal() != 0; }
  void Clear();
  void Hide();
  void Show();
  // Saves the position, enables the main window again and removes the window.
  void DestroyWindow();

  bool WindowExists() const { return m_bWindow; }
  bool IsModal() const { return m_bModal; }
  QPushButton* CancelButton() const { return m_cancel; }
  QString Text() const;

  // The window that a modal progress window disables.
  static void SetMainWindow(QWidget* window);
  static QWidget* MainWindow();

  // ost::JobProgress
  void Begin(std::string_view text, std::uint64_t units) override;
  void Step() override;
  bool IsCancelled() override { return m_bCancelled || gui::StopSignal() != 0; }
  void End() override;
  // Lets events run while the job waits for its worker threads.
  void Pump() override { PumpMessages(true); }

 public slots:
  void OnCancel();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  // The close box (window managers may add one) is a cancel.
  void closeEvent(QCloseEvent* event) override;
  // Notes when and under which pointer the window appeared.
  void showEvent(QShowEvent* event) override;

 private:
  void LayoutControls();
  void RestorePosition();
  void SavePosition();
  void UpdateBar();

  bool m_bCancelled = false;
  bool m_bModal = false;
  bool m_bRememberPosition = true;
  bool m_bWindow = false;
  bool m_bPumping = false;
  bool m_bCancelOnEscape = false;
  qint64 m_nPos = 0;
  int m_nLastPercent = 0;
  qint64 m_nStep = 1;
  qint64 m_nUpper = 100;
  qint64 m_nLower = 0;
  int m_nTextLines = 4;
  QLabel* m_text = nullptr;
  QProgressBar* m_bar = nullptr;
  QPushButton* m_cancel = nullptr;
  QString m_strTitle = QStringLiteral("Progress");
  QString m_strCancelLabel = QStringLiteral(" Cancel ");
  QPointer<QWidget> m_disabledMain;
  QPointer<QWidget> m_owner;  // of the window made when the job begins
  PressGuard m_pressGuard;
};
