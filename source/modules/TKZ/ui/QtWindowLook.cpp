#include "QtWindowLook.h"

#include <QApplication>
#include <QFontMetrics>
#include <QGridLayout>
#include <QMessageBox>
#include <QSpacerItem>
#include <QWidget>
#include <algorithm>

// The resource's initialiser lives in a static library: nothing would pull
// it into the program without this call.
static void InitProgramIconResource() { Q_INIT_RESOURCE(tkz_icons); }

QIcon ProgramIcon() {
  static const QIcon icon = [] {
    InitProgramIconResource();
    QIcon i;
    for (int size : {16, 32, 48, 64})
      i.addFile(QStringLiteral(":/tkz/icons/tkz-%1.png").arg(size), QSize(size, size));
    return i;
  }();
  return icon;
}

Qt::WindowFlags DialogFlags() {
  return Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
         Qt::WindowCloseButtonHint;
}

int TitleFitWidth(const QString& title) {
  QFont font = QApplication::font("QMdiSubWindowTitleBar");
  font.setBold(true);
  const QFontMetrics fm(font);
  // Window managers put the icon and the buttons on one side or split them
  // over both, some centre the title: room for three buttons a side.
  const int button = fm.height() + 10;
  return fm.horizontalAdvance(title) + 6 * button;
}

void StyleDialog(QWidget* dialog) {
  dialog->setWindowFlags(DialogFlags());
  dialog->setWindowIcon(ProgramIcon());
  const int width = TitleFitWidth(dialog->windowTitle());
  if (auto* box = qobject_cast<QMessageBox*>(dialog)) {
    // A message box fixes its own size from its layout when it is shown.
    if (auto* grid = qobject_cast<QGridLayout*>(box->layout()))
      grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                    grid->rowCount(), 0, 1, grid->columnCount());
    return;
  }
  // Nothing in a dialog gains from resizing it, and a window that cannot be
  // resized cannot be maximised either (window managers that draw their
  // buttons whatever the flags say at least disable maximise then).
  const QSize hint = dialog->sizeHint();
  dialog->setFixedSize(std::max(width, hint.width()), hint.height());
}
