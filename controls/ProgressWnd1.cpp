#include "controls/ProgressWnd1.h"

#include <algorithm>

#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QStyle>

#include "controls/Settings.h"

namespace {
// The bar is driven in at most this many steps, whatever the job's range.
constexpr qint64 kBarSteps = 10000;
// The width of a window manager's usual border, in pixels.
constexpr int kFrameBorder = 4;
QPointer<QWidget> g_mainWindow;
}  // namespace

void CProgressWnd::SetMainWindow(QWidget* window) { g_mainWindow = window; }
QWidget* CProgressWnd::MainWindow() { return g_mainWindow.data(); }

CProgressWnd::CProgressWnd() : QWidget(nullptr) {}

CProgressWnd::CProgressWnd(QWidget* parent, const QString& title, bool smooth) : QWidget(nullptr) {
  m_strTitle = title;
  Create(parent, title, smooth);
}

CProgressWnd::~CProgressWnd() {
  DestroyWindow();
  qApp->removeEventFilter(this);
}

bool CProgressWnd::Create(QWidget* parent, const QString& title, bool smooth) {
  if (!parent) parent = MainWindow();
  setParent(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowStaysOnTopHint);
  setAttribute(Qt::WA_ShowWithoutActivating);
  setWindowTitle(title);
  setCursor(Qt::BusyCursor);
  if (!m_text) {
    m_text = new QLabel(this);
    m_text->setTextFormat(Qt::PlainText);
    m_text->setWordWrap(false);
    m_text->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_bar = new QProgressBar(this);
    m_bar->setTextVisible(false);
    m_cancel = new QPushButton(m_strCancelLabel, this);
    m_cancel->installEventFilter(this);
    connect(m_cancel, &QPushButton::clicked, this, &CProgressWnd::OnCancel);
  }
  (void)smooth;  // the bar is always drawn smooth
  m_bWindow = true;
  LayoutControls();
  if (m_bRememberPosition) RestorePosition();
  Show();
  return true;
}

void CProgressWnd::CreateWhenBegun(QWidget* parent, const QString& title) {
  m_owner = parent;
  m_strTitle = title;
}

bool CProgressWnd::BeginModal(const QString& title, bool smooth) {
  if (!m_bWindow && !Create(m_owner, title, smooth)) return false;
  if (QWidget* main = MainWindow(); main && main != this) {
    main->setEnabled(false);
    m_disabledMain = main;
  }
  setEnabled(true);
  m_bModal = true;
  qApp->installEventFilter(this);
  return true;
}

void CProgressWnd::LayoutControls() {
  const int margin = 10;
  const int width = 390;
  const QFontMetrics metrics(m_text->font());
  const int textHeight = metrics.height() * m_nTextLines;
  const QRect text(margin, margin, width, textHeight);
  const QSize label = metrics.size(0, m_strCancelLabel + QStringLiteral("  "));
  const QSize button(std::max(label.width() + 16, m_cancel->sizeHint().width()),
                     std::max(label.height() + 9, m_cancel->sizeHint().height()));
  const QRect cancel(text.right() + 1 - button.width(), text.bottom() + 1 + margin, button.width(), button.height());
  const QRect bar(text.left(), cancel.top() + 2, cancel.left() - margin - text.left(), cancel.height() - 4);
  setFixedSize(text.width() + 2 * margin, text.height() + cancel.height() + 3 * margin);
  m_text->setGeometry(text);
  m_bar->setGeometry(bar);
  m_cancel->setGeometry(cancel);
}

void CProgressWnd::RestorePosition() {
  QSettings settings = gui::AppSettings();
  const int x = settings.value(QStringLiteral("Settings/X"), -1).toInt();
  const int y = settings.value(QStringLiteral("Settings/Y"), -1).toInt();
  const QScreen* screen = QGuiApplication::primaryScreen();
  const QSize size = screen ? screen->size() : QSize(0, 0);
  if (x >= 0 && x < size.width() && y >= 0 && y < size.height()) {
    // Whole on the screen: left hanging over its edge (or remembered from a
    // larger screen), the window would open with Cancel out of reach. Before
    // it is first shown it has no frame yet: room is left for a usual one.
    const QRect area = screen ? screen->availableGeometry() : QRect(QPoint(0, 0), size);
    QSize frame = frameGeometry().size();
    if (frame == this->size()) frame += QSize(2 * kFrameBorder, style()->pixelMetric(QStyle::PM_TitleBarHeight) + 2 * kFrameBorder);
    move(std::clamp(x, area.left(), std::max(area.left(), area.right() + 1 - frame.width())),
         std::clamp(y, area.top(), std::max(area.top(), area.bottom() + 1 - frame.height())));
    return;
  }
  QRect owner = parentWidget() ? parentWidget()->frameGeometry() : (screen ? screen->geometry() : QRect());
  move(owner.center() - QPoint(frameGeometry().width() / 2, frameGeometry().height() / 2));
}

void CProgressWnd::SavePosition() {
  QSettings settings = gui::AppSettings();
  settings.setValue(QStringLiteral("Settings/X"), frameGeometry().x());
  settings.setValue(QStringLiteral("Settings/Y"), frameGeometry().y());
}

void CProgressWnd::SetRange(qint64 lower, qint64 upper, qint64 step) {
  if (!m_bWindow) return;
  m_nLower = lower;
  m_nUpper = upper;
  m_nStep = step;
  UpdateBar();
}

void CProgressWnd::SetText(const QString& text) {
  if (!m_bWindow) return;
  m_text->setText(text);
}

QString CProgressWnd::Text() const { return m_text ? m_text->text() : QString(); }

void CProgressWnd::UpdateBar() {
  const qint64 span = m_nUpper - m_nLower;
  if (span <= 0) {
    m_bar->setRange(0, 1);
    m_bar->setValue(0);
    return;
  }
  const qint64 steps = std::min(span, kBarSteps);
  m_bar->setRange(0, static_cast<int>(steps));
  const qint64 done = std::clamp<qint64>(m_nPos - m_nLower, 0, span);
  m_bar->setValue(static_cast<int>(done * steps / span));
}

qint64 CProgressWnd::SetPos(qint64 pos) {
  if (!m_bWindow) return m_nPos;
  Show();
  const qint64 previous = m_nPos;
  m_nPos = pos;
  // 64-bit arithmetic: a long job's position times 100 does not fit 32 bits.
  const int percent = m_nUpper > m_nLower ? static_cast<int>(pos * 100 / (m_nUpper - m_nLower)) : 0;
  if (percent != m_nLastPercent) {
    m_nLastPercent = percent;
    setWindowTitle(QStringLiteral("%1 [%2%]").arg(m_strTitle).arg(percent));
  }
  UpdateBar();
  return previous;
}

qint64 CProgressWnd::StepIt() { return SetPos(m_nPos + m_nStep); }
qint64 CProgressWnd::OffsetPos(qint64 delta) { return SetPos(m_nPos + delta); }

qint64 CProgressWnd::SetStep(qint64 step) {
  const qint64 previous = m_nStep;
  m_nStep = step;
  return previous;
}

void CProgressWnd::PumpMessages(bool cancelOnEscape) {
  if (m_bCancelled) return;
  m_bPumping = true;
  m_bCancelOnEscape = cancelOnEscape;
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  m_bPumping = false;
  // The program was asked to stop: the job cancels like at the cancel button.
  if (gui::StopSignal() != 0 && !m_bCancelled) OnCancel();
}

void CProgressWnd::showEvent(QShowEvent* event) {
  m_pressGuard.Appeared();
  QWidget::showEvent(event);
}

bool CProgressWnd::eventFilter(QObject* watched, QEvent* event) {
  // The window opens where it was left, which may put Cancel under the
  // pointer that has just clicked the button that started the job.
  if (watched == m_cancel && m_pressGuard.Drops(event)) return true;
  // Escape cancels whichever window it was meant for, and no other window
  // gets it meanwhile (it would close the dialog that runs the job).
  if (m_bModal && (event->type() == QEvent::KeyPress || event->type() == QEvent::ShortcutOverride)) {
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == Qt::Key_Escape) {
      if (event->type() == QEvent::KeyPress && m_bPumping && m_bCancelOnEscape && !m_bCancelled) OnCancel();
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

void CProgressWnd::closeEvent(QCloseEvent* event) {
  event->ignore();
  if (!m_bCancelled) OnCancel();
}

void CProgressWnd::OnCancel() {
  m_bCancelled = true;
  Hide();
  // A cancel in modal mode removes the window at once, without saving its
  // position; the main window comes back when the job ends.
  if (m_bModal) m_bWindow = false;
  if (QWidget* main = MainWindow()) main->activateWindow();
}

void CProgressWnd::Clear() {
  SetText(QString());
  SetPos(0);
  m_bCancelled = false;
  m_nPos = 0;
  if (m_bWindow) repaint();
}

void CProgressWnd::Hide() {
  if (m_bWindow || isVisible()) hide();
}

void CProgressWnd::Show() {
  if (m_bWindow && !isVisible()) show();
}

void CProgressWnd::DestroyWindow() {
  if (m_bWindow && m_bRememberPosition) SavePosition();
  if (m_bModal) {
    m_bModal = false;
    if (m_disabledMain) m_disabledMain->setEnabled(true);
    m_disabledMain = nullptr;
    qApp->removeEventFilter(this);
  }
  m_bWindow = false;
  hide();
}

void CProgressWnd::Begin(std::string_view text, std::uint64_t units) {
  if (m_bCancelled) return;
  if (!m_bModal && !BeginModal(m_strTitle, false)) return;
  m_nPos = 0;
  m_nLastPercent = 0;
  setWindowTitle(m_strTitle);
  SetRange(0, static_cast<qint64>(units), 1);
  SetText(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
  Show();
  PumpMessages(true);
}

void CProgressWnd::Step() {
  StepIt();
  PumpMessages(true);
}

void CProgressWnd::End() { DestroyWindow(); }
