#include "QtLauncherView.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFont>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>
#include <cstdio>

#include "BackImage.h"
#include "Texts.h"

namespace startell {
namespace {

QString Q(const char* s) { return QString::fromUtf8(s); }

QScreen* ScreenOf(const QWidget* w) {
  QScreen* s = w ? w->screen() : nullptr;
  return s ? s : QGuiApplication::primaryScreen();
}

double DpiX(const QWidget* w) {
  QScreen* s = ScreenOf(w);
  return s ? s->logicalDotsPerInchX() : 96.0;
}

double DpiY(const QWidget* w) {
  QScreen* s = ScreenOf(w);
  return s ? s->logicalDotsPerInchY() : 96.0;
}

// The area above the buttons that holds BackImage, placed by the area's
// size whenever it changes.
class Stage final : public QWidget {
 public:
  explicit Stage(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("stage"));
    setMinimumHeight(60);
    image_ = new QLabel(this);
    image_->setObjectName(QStringLiteral("BackImage"));
    image_->setPixmap(DrawBackImage());
    image_->resize(kBackImageSize);
  }

 protected:
  void resizeEvent(QResizeEvent*) override {
    const Point at = PlacePicture(Size{width(), height()},
                                  Size{image_->width(), image_->height()});
    image_->move(at.x, at.y);
  }

 private:
  QLabel* image_;
};

class MainWindow final : public QWidget {
 public:
  std::function<void()> onClose;
  // The window moved, changed size or was shown: its frame may be known now.
  std::function<void()> onGeometry;

 protected:
  void closeEvent(QCloseEvent* e) override {
    if (onClose) onClose();
    e->accept();
  }
  bool event(QEvent* e) override {
    const bool handled = QWidget::event(e);
    const QEvent::Type t = e->type();
    if ((t == QEvent::Move || t == QEvent::Resize || t == QEvent::Show) && onGeometry) onGeometry();
    return handled;
  }
};

QRect ToQRect(const Rect& r) { return QRect(r.left, r.top, r.width, r.height); }
Rect FromQRect(const QRect& r) { return Rect{r.x(), r.y(), r.width(), r.height()}; }

// What the window manager's frame adds to the window's inner size.
QSize FrameExtra(const QWidget& w) { return w.frameGeometry().size() - w.size(); }

class ConfirmWindow final : public QWidget {
 public:
  explicit ConfirmWindow(QWidget* parent) : QWidget(parent, Qt::Dialog) {}
  std::function<void()> onClose;

 protected:
  void closeEvent(QCloseEvent* e) override {
    if (onClose) onClose();
    e->accept();
  }
};

QPushButton* Button(QWidget* parent, const char* name, const char* caption) {
  auto* b = new QPushButton(Q(caption), parent);
  b->setObjectName(Q(name));
  return b;
}

// A confirmation window: Label1 above two buttons, in Tahoma.
ConfirmWindow* MakeConfirm(QWidget* parent, const char* objectName, const char* caption,
                        const char* text, QPushButton** accept, const char* acceptName,
                        const char* acceptCaption, QPushButton** reject,
                        const char* rejectName, const char* rejectCaption) {
  auto* w = new ConfirmWindow(parent);
  w->setObjectName(Q(objectName));
  w->setWindowTitle(Q(caption));
  QFont font(Q(texts::kConfirmFont));
  font.setStyleHint(QFont::SansSerif);
  auto* label = new QLabel(Q(text), w);
  label->setObjectName(QStringLiteral("Label1"));
  label->setWordWrap(true);
  label->setFont(font);
  *accept = Button(w, acceptName, acceptCaption);
  *reject = Button(w, rejectName, rejectCaption);
  (*accept)->setFont(font);
  (*reject)->setFont(font);
  (*accept)->setDefault(true);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(*accept);
  buttons->addWidget(*reject);
  auto* layout = new QVBoxLayout(w);
  layout->setContentsMargins(16, 16, 16, 12);
  layout->setSpacing(14);
  layout->addWidget(label, 1);
  layout->addLayout(buttons);
  const int width = 400;
  const int height = w->heightForWidth(width);
  w->resize(width, height > 0 ? height : w->sizeHint().height());
  return w;
}

}  // namespace

struct QtLauncherView::Windows {
  MainWindow main;
  // Where SetMainRect put the window, and the frame it allowed for: the
  // inner size is set again once the window manager's frame is known.
  PixelPlacement placed;
  QSize frameAllowed{0, 0};
  bool frameUnknown = false;
  ConfirmWindow* info = nullptr;
  ConfirmWindow* runtime = nullptr;
  QPushButton* install = nullptr;
  QPushButton* release = nullptr;
  QPushButton* runtimeButton = nullptr;
  QPushButton* quit = nullptr;
  QPushButton* yes = nullptr;
  QPushButton* no = nullptr;
  QPushButton* ok = nullptr;
  QPushButton* cancel = nullptr;
};

QtLauncherView::QtLauncherView() : w_(std::make_unique<Windows>()) {
  QWidget* m = &w_->main;
  m->setObjectName(QStringLiteral("frmMain"));
  m->setWindowTitle(Q(texts::kMainCaption));

  auto* stage = new Stage(m);
  w_->install = Button(m, "Install", texts::kInstall);
  w_->release = Button(m, "release", texts::kRelease);
  w_->runtimeButton = Button(m, "runtime", texts::kRuntime);
  w_->quit = Button(m, "Quit", texts::kQuit);
  auto* version = new QLabel(Q(texts::kVersion), m);
  version->setObjectName(QStringLiteral("Version"));
  auto* maker = new QLabel(Q(texts::kMaker), m);
  maker->setObjectName(QStringLiteral("maker"));
  maker->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

  auto* grid = new QGridLayout;
  grid->addWidget(w_->install, 0, 0);
  grid->addWidget(w_->release, 0, 1);
  grid->addWidget(w_->runtimeButton, 1, 0);
  grid->addWidget(w_->quit, 1, 1);
  auto* footer = new QHBoxLayout;
  footer->addWidget(version);
  footer->addStretch();
  footer->addWidget(maker);
  auto* layout = new QVBoxLayout(m);
  layout->addWidget(stage, 1);
  layout->addLayout(grid);
  layout->addLayout(footer);

  w_->info = MakeConfirm(m, "frmInfo", texts::kInfoCaption, texts::kInfoText, &w_->yes,
                         "yesButton", texts::kYes, &w_->no, "noButton", texts::kNo);
  w_->runtime = MakeConfirm(m, "frmRuntime", texts::kRuntimeCaption, texts::kRuntimeText,
                            &w_->ok, "OKButton", texts::kRuntimeInstall, &w_->cancel,
                            "CancelButton", texts::kRuntimeCancel);
  w_->main.onGeometry = [this] {
    if (w_->frameUnknown && FrameExtra(w_->main) != w_->frameAllowed) PlaceMain();
  };
}

void QtLauncherView::PlaceMain() {
  QWidget& m = w_->main;
  const QRect outer = ToQRect(w_->placed.pixels);
  const QSize extra = FrameExtra(m);
  // Once a frame is seen, the window is placed for good: later moves are
  // the user's.
  w_->frameAllowed = extra;
  w_->frameUnknown = extra.isNull();
  m.resize((outer.size() - extra).expandedTo(QSize(1, 1)));
  m.move(outer.topLeft());  // a top-level window's position is its frame's
}

QtLauncherView::~QtLauncherView() = default;

void QtLauncherView::Attach(Launcher* l) {
  auto on = [l](QPushButton* b, void (Launcher::*handler)()) {
    QObject::connect(b, &QPushButton::clicked, b, [l, handler] { (l->*handler)(); });
  };
  on(w_->install, &Launcher::OnInstall);
  on(w_->release, &Launcher::OnRelease);
  on(w_->runtimeButton, &Launcher::OnRuntime);
  on(w_->quit, &Launcher::OnQuit);
  on(w_->yes, &Launcher::OnYes);
  on(w_->no, &Launcher::OnNo);
  on(w_->ok, &Launcher::OnRuntimeInstall);
  on(w_->cancel, &Launcher::OnRuntimeCancel);
  w_->main.onClose = [l] {
    if (!l->Unload())
      std::fprintf(stderr, "Startell: the window's position could not be saved\n");
  };
  w_->info->onClose = [l] { l->FormClosed(Form::frmInfo); };
  w_->runtime->onClose = [l] { l->FormClosed(Form::frmRuntime); };
}

QWidget* QtLauncherView::Main() const { return &w_->main; }

QWidget* QtLauncherView::FormWindow(Form form) const {
  return form == Form::frmInfo ? static_cast<QWidget*>(w_->info) : w_->runtime;
}

void QtLauncherView::SetErrorSink(std::function<void(const std::string&)> sink) {
  errorSink_ = std::move(sink);
}

Rect QtLauncherView::ScreenArea() const {
  QScreen* s = ScreenOf(&w_->main);
  if (!s) return {};
  const QRect a = s->availableVirtualGeometry();
  const double dx = DpiX(&w_->main), dy = DpiY(&w_->main);
  return Rect{PixelsToTwips(a.x(), dx), PixelsToTwips(a.y(), dy),
              PixelsToTwips(a.width(), dx), PixelsToTwips(a.height(), dy)};
}

Rect QtLauncherView::MainRect() const {
  const QWidget& m = w_->main;
  return TwipsOfPixels(FromQRect(m.frameGeometry()), DpiX(&m), DpiY(&m), w_->placed);
}

void QtLauncherView::SetMainRect(const Rect& r) {
  QWidget& m = w_->main;
  w_->placed = PlaceInPixels(r, DpiX(&m), DpiY(&m));
  PlaceMain();
}

bool QtLauncherView::MainMinimised() const { return w_->main.isMinimized(); }

void QtLauncherView::ShowForm(Form form) {
  QWidget* f = FormWindow(form);
  f->show();
  f->raise();
  f->activateWindow();
}

// hide() rather than close(): the Launcher asked for it, so no close event
// goes back to it.
void QtLauncherView::CloseForm(Form form) { FormWindow(form)->hide(); }

void QtLauncherView::EndProgram() {
  w_->main.close();
  QCoreApplication::quit();
}

void QtLauncherView::ReportError(const std::string& text) {
  if (errorSink_) {
    errorSink_(text);
    return;
  }
  QMessageBox::critical(&w_->main, Q(texts::kMainCaption), QString::fromStdString(text));
}

}  // namespace startell
