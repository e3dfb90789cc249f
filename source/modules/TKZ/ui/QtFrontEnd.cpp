#include "QtFrontEnd.h"

#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFontDatabase>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStatusBar>
#include <QTextBlock>
#include <QVBoxLayout>
#include <map>

#include "App.h"
#include "MainFrame.h"
#include "QtWindowLook.h"

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

// "Binary Files|*.bin|All files|*.*||" as Qt name filters.
QStringList NameFilters(const std::string& filter) {
  QStringList parts = Q(filter).split(QLatin1Char('|'));
  QStringList out;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    if (parts[i].isEmpty()) break;
    QString pattern = parts[i + 1] == QLatin1String("*.*") ? QStringLiteral("*") : parts[i + 1];
    out << parts[i] + QStringLiteral(" (") + pattern + QStringLiteral(")");
  }
  return out;
}

}  // namespace

// ---- the frame window ---------------------------------------------------------------

QtFrameWindow::QtFrameWindow() {
  log_ = new QPlainTextEdit(this);
  log_->setObjectName(QStringLiteral("log"));
  log_->setReadOnly(true);
  log_->setUndoRedoEnabled(false);
  log_->setLineWrapMode(QPlainTextEdit::NoWrap);
  log_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  QPalette p = log_->palette();
  p.setColor(QPalette::Base, Qt::white);
  p.setColor(QPalette::Text, Qt::black);
  log_->setPalette(p);
  setCentralWidget(log_);
  statusBar();
  BuildMenus();
  setWindowIcon(ProgramIcon());
  resize(720, 480);
}

QtFrameWindow::~QtFrameWindow() { AttachLog(nullptr); }

void QtFrameWindow::BuildMenus() {
  std::map<std::string, QMenu*> menus;
  for (const FrameMenuItem& item : FrameMenu()) {
    QMenu*& menu = menus[item.menu];
    if (menu == nullptr) {
      menu = menuBar()->addMenu(QString::fromUtf8(item.menu));
      QObject::connect(menu, &QMenu::aboutToShow, this, [this, m = menu] { UpdateMenu(m); });
    }
    QAction* a = menu->addAction(QString::fromUtf8(item.caption));
    a->setStatusTip(QString::fromUtf8(item.prompt));
    a->setCheckable(item.checkable);
    a->setData(static_cast<uint>(item.id));
    if (item.id == ID_EDIT_COPY) a->setShortcut(QKeySequence::Copy);
    const uint32_t id = item.id;
    QObject::connect(a, &QAction::triggered, this, [this, id] {
      if (frame_ != nullptr) frame_->OnCommand(id);
    });
    actions_.emplace_back(item.id, a);
  }
}

void QtFrameWindow::UpdateMenu(QMenu* menu) {
  if (frame_ == nullptr) return;
  for (QAction* a : menu->actions()) {
    const CommandState s = frame_->QueryCommand(a->data().toUInt());
    a->setEnabled(s.enabled);
    if (a->isCheckable()) a->setChecked(s.checked);
  }
}

QAction* QtFrameWindow::Action(uint32_t id) const {
  for (const auto& [i, a] : actions_)
    if (i == id) return a;
  return nullptr;
}

void QtFrameWindow::SetTitle(const std::string& title) { setWindowTitle(Q(title)); }

void QtFrameWindow::SetTaskbarButton(bool shown) {
  // A tool window has no task-bar button.
  setWindowFlag(Qt::Tool, !shown);
}

void QtFrameWindow::AttachLog(LogBuffer* view) {
  if (view_ == view) return;
  if (view_ != nullptr) view_->RemoveObserver(this);
  view_ = view;
  log_->clear();
  if (view_ != nullptr) {
    // What the log held before the window came.
    OnText(view_->CopyAllText());
    view_->AddObserver(this);
  }
}

namespace {

// Shows a top-level window in front, out of the minimised state (keeping
// a maximised one maximised).
void Restore(QWidget* w) {
  if (w->isMinimized()) w->setWindowState(w->windowState() & ~Qt::WindowMinimized);
  w->show();
  w->raise();
  w->activateWindow();
}

}  // namespace

void QtFrameWindow::ShowWindow() { Restore(this); }

void QtFrameWindow::HideWindow() { hide(); }

bool QtFrameWindow::IsWindowVisible() const { return isVisible(); }

bool QtFrameWindow::IsWindowMinimised() const { return isMinimized(); }

void QtFrameWindow::CopySelection() { log_->copy(); }

void QtFrameWindow::MoveCaretToEnd() { log_->moveCursor(QTextCursor::End); }

void QtFrameWindow::CloseFrame() {
  closing_ = true;
  hide();
  // The frame has closed for real: nothing may veto the end of the loop
  // (quit() would first ask every window, and the tray's stand-in refuses).
  QCoreApplication::exit(0);
}

void QtFrameWindow::closeEvent(QCloseEvent* event) {
  if (closing_) {
    event->accept();
    return;
  }
  // The frame decides: hide, or the ordered shutdown.
  event->ignore();
  if (frame_ != nullptr) frame_->OnClose();
}

void QtFrameWindow::OnText(std::string_view text) {
  if (text.empty()) return;
  follow_.AddText([&] {
    QTextCursor c(log_->document());
    c.movePosition(QTextCursor::End);
    c.insertText(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
  });
}

void QtFrameWindow::OnRemoveOldestLine() {
  follow_.RemoveOldestLine([&] {
    QTextCursor c(log_->document());
    c.movePosition(QTextCursor::Start);
    c.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor);
    c.removeSelectedText();
  });
}

// Lines do not wrap, so the vertical scroll bar counts lines.
bool QtFrameWindow::AtEnd() const {
  const QScrollBar* bar = log_->verticalScrollBar();
  return bar->value() >= bar->maximum();
}

bool QtFrameWindow::HasSelection() const { return log_->textCursor().hasSelection(); }

int QtFrameWindow::FirstVisibleLine() const { return log_->verticalScrollBar()->value(); }

void QtFrameWindow::ScrollToLine(int line) { log_->verticalScrollBar()->setValue(line); }

void QtFrameWindow::ScrollToEnd() {
  QScrollBar* bar = log_->verticalScrollBar();
  bar->setValue(bar->maximum());
}

void QtFrameWindow::OnClear() { log_->clear(); }

void QtFrameWindow::SetText(const std::string& text) {
  QGuiApplication::clipboard()->setText(Q(text));
}

std::optional<std::string> QtFrameWindow::AskOpenFile(const std::string& defaultExt,
                                                      const std::string& defaultName,
                                                      const std::string& filter) {
  QFileDialog dialog(this);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::AnyFile);  // the network log is created
  dialog.setDefaultSuffix(Q(defaultExt));
  dialog.setNameFilters(NameFilters(filter));
  dialog.selectFile(Q(defaultName));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return dialog.selectedFiles().front().toStdString();
}

void QtFrameWindow::ShowAbout(const std::string& longTitle, const std::string& version,
                              const std::string& builtOn) {
  QMessageBox box(QMessageBox::NoIcon, QStringLiteral("About TKZ"),
                  Q(longTitle) + QStringLiteral("\n") + Q(version) + QStringLiteral("\n") +
                      Q(builtOn),
                  QMessageBox::Ok, this);
  box.setIconPixmap(ProgramIcon().pixmap(64, 64));
  StyleDialog(&box);
  box.exec();
}

// ---- notification-area icon and its stand-in ----------------------------------------

namespace {

const QString kShowOrHide = QStringLiteral("Show or hide the TKZ window");

void PostDoubleClick(msgq::Handle frame) {
  if (frame) msgq::PostMessage(frame, WM_TRAY_NOTIFY, kTrayIconId, WM_LBUTTONDBLCLK);
}

// The icon's stand-in: a small window that cannot be closed, only
// minimised (it may be the only way back to the window); the program hides
// it, and its end does not ask it (QCoreApplication::exit).
class StandInWindow final : public QWidget {
 public:
  explicit StandInWindow(std::function<void()> activate)
      : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                             Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint) {
    setObjectName(QStringLiteral("trayStandIn"));
    setWindowTitle(Q(g_strWindowTitle));
    setWindowIcon(ProgramIcon());
    auto* picture = new QLabel(this);
    picture->setPixmap(ProgramIcon().pixmap(48, 48));
    picture->setAlignment(Qt::AlignCenter);
    auto* button = new QPushButton(kShowOrHide, this);
    button->setObjectName(QStringLiteral("showOrHide"));
    QObject::connect(button, &QPushButton::clicked, this, std::move(activate));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(picture);
    layout->addWidget(button);
    const QSize hint = sizeHint();
    setFixedSize(std::max(TitleFitWidth(windowTitle()), hint.width()), hint.height());
  }

 protected:
  void closeEvent(QCloseEvent* event) override {
    event->ignore();
    showMinimized();
  }
};

}  // namespace

QtTray::QtTray() : menu_(std::make_unique<QMenu>()) {
  QAction* item = menu_->addAction(kShowOrHide);
  QObject::connect(item, &QAction::triggered, menu_.get(), [this] { PostDoubleClick(iconFrame_); });
  icon_ = std::make_unique<QSystemTrayIcon>(ProgramIcon());
  QObject::connect(icon_.get(), &QSystemTrayIcon::activated,
                   [this](QSystemTrayIcon::ActivationReason r) {
                     if (r == QSystemTrayIcon::DoubleClick) PostDoubleClick(iconFrame_);
                   });
  icon_->setContextMenu(menu_.get());
}

QtTray::~QtTray() = default;

bool QtTray::Available() const { return QSystemTrayIcon::isSystemTrayAvailable(); }

bool QtTray::AddIcon(msgq::Handle frame) {
  iconFrame_ = frame;
  if (!Available()) return false;
  icon_->show();
  return true;
}

void QtTray::RemoveIcon() {
  icon_->hide();
  iconFrame_ = msgq::Handle{};
}

void QtTray::ShowStandIn(msgq::Handle frame) {
  standInFrame_ = frame;
  if (!standIn_) standIn_ = std::make_unique<StandInWindow>([this] { PostDoubleClick(standInFrame_); });
  Restore(standIn_.get());
}

void QtTray::HideStandIn() {
  if (standIn_) standIn_->hide();
  standInFrame_ = msgq::Handle{};
}

// ---- login dialog -------------------------------------------------------------------------

QtLoginDialog::QtLoginDialog(msgq::Handle frame) : frame_(frame) {
  setObjectName(QStringLiteral("login"));
  setWindowTitle(QStringLiteral("TKZ login required"));
  setModal(false);
  auto* form = new QFormLayout(this);
  nameEdit_ = new QLineEdit(this);
  nameEdit_->setObjectName(QStringLiteral("name"));
  passwordEdit_ = new QLineEdit(this);
  passwordEdit_->setObjectName(QStringLiteral("password"));
  passwordEdit_->setEchoMode(QLineEdit::Password);
  auto* nameLabel = new QLabel(QStringLiteral("&Name:"), this);
  nameLabel->setBuddy(nameEdit_);
  auto* passwordLabel = new QLabel(QStringLiteral("&Password:"), this);
  passwordLabel->setBuddy(passwordEdit_);
  form->addRow(nameLabel, nameEdit_);
  form->addRow(passwordLabel, passwordEdit_);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  form->addRow(buttons);
  QObject::connect(buttons, &QDialogButtonBox::accepted, this, [this] { Finish(true); });
  QObject::connect(buttons, &QDialogButtonBox::rejected, this, [this] { Finish(false); });
  // The window's own close box and Escape are Cancel.
  QObject::connect(this, &QDialog::rejected, this, [this] { Finish(false); });
  StyleDialog(this);
}

void QtLoginDialog::Open() {
  if (!finished_) Restore(this);
}

void QtLoginDialog::Finish(bool ok) {
  if (finished_) return;
  finished_ = true;
  accepted_ = ok;
  if (ok) {
    name_ = nameEdit_->text().toStdString();
    password_ = passwordEdit_->text().toStdString();
  }
  passwordEdit_->clear();
  hide();
  PostLoginClosed(frame_);
}

// ---- message boxes ---------------------------------------------------------------------------

std::unique_ptr<QMessageBox> QtMessageBox::Make(const std::string& text, Icon icon) {
  QMessageBox::Icon shown = QMessageBox::Information;
  switch (icon) {
    case Icon::kStop:
      shown = QMessageBox::Critical;
      break;
    case Icon::kWarning:
      shown = QMessageBox::Warning;
      break;
    case Icon::kInformation:
      break;
  }
  auto box = std::make_unique<QMessageBox>(shown, Q(g_strWindowTitle), Q(text), QMessageBox::Ok);
  StyleDialog(box.get());
  return box;
}

void QtMessageBox::Show(const std::string& text, Icon icon) { Make(text, icon)->exec(); }
