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
#include <QStatusBar>
#include <QStyle>
#include <QTextBlock>
#include <map>

#include "App.h"
#include "MainFrame.h"

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

void QtFrameWindow::ShowWindow() {
  show();
  raise();
  activateWindow();
}

void QtFrameWindow::HideWindow() { hide(); }

bool QtFrameWindow::IsWindowVisible() const { return isVisible(); }

void QtFrameWindow::CopySelection() { log_->copy(); }

void QtFrameWindow::MoveCaretToEnd() { log_->moveCursor(QTextCursor::End); }

void QtFrameWindow::CloseFrame() {
  closing_ = true;
  hide();
  QCoreApplication::quit();
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
  QTextCursor c(log_->document());
  c.movePosition(QTextCursor::End);
  c.insertText(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
  log_->ensureCursorVisible();
}

void QtFrameWindow::OnRemoveOldestLine() {
  QTextCursor c(log_->document());
  c.movePosition(QTextCursor::Start);
  c.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor);
  c.removeSelectedText();
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
  QMessageBox::about(this, QStringLiteral("About TKZ"),
                     Q(longTitle) + QStringLiteral("\n") + Q(version) + QStringLiteral("\n") +
                         Q(builtOn));
}

// ---- notification-area icon ---------------------------------------------------------

QtTray::QtTray() : menu_(std::make_unique<QMenu>()) {
  QAction* item = menu_->addAction(QStringLiteral("Show or hide the TKZ window"));
  QObject::connect(item, &QAction::triggered, menu_.get(), [this] { PostDoubleClick(); });
}

QtTray::~QtTray() = default;

void QtTray::PostDoubleClick() const {
  if (frame_) msgq::PostMessage(frame_, WM_TRAY_NOTIFY, kTrayIconId, WM_LBUTTONDBLCLK);
}

bool QtTray::AddIcon(msgq::Handle frame) {
  frame_ = frame;
  if (!QSystemTrayIcon::isSystemTrayAvailable()) return false;
  icon_ = std::make_unique<QSystemTrayIcon>(
      QApplication::style()->standardIcon(QStyle::SP_ComputerIcon));
  QObject::connect(icon_.get(), &QSystemTrayIcon::activated, [this](QSystemTrayIcon::ActivationReason r) {
    if (r == QSystemTrayIcon::DoubleClick) PostDoubleClick();
  });
  icon_->setContextMenu(menu_.get());
  icon_->show();
  return true;
}

void QtTray::RemoveIcon() {
  icon_.reset();
  frame_ = msgq::Handle{};
}

// ---- login dialog -------------------------------------------------------------------------

QtLoginDialog::QtLoginDialog(msgq::Handle frame) : frame_(frame) {
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
}

void QtLoginDialog::Open() {
  show();
  raise();
  activateWindow();
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

void QtMessageBox::Show(const std::string& text, Icon icon) {
  const QString title = Q(g_strWindowTitle);
  switch (icon) {
    case Icon::kStop:
      QMessageBox::critical(nullptr, title, Q(text));
      break;
    case Icon::kWarning:
      QMessageBox::warning(nullptr, title, Q(text));
      break;
    case Icon::kInformation:
      QMessageBox::information(nullptr, title, Q(text));
      break;
  }
}
