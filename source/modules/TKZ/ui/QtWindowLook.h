// What the server's windows share in looks: the program's own icon (built
// in from icons/), and dialogs with a title bar wide enough for their
// title and without minimise or maximise buttons.
//
// Threads: the UI thread (the Qt GUI thread) only.
#pragma once

#include <QIcon>
#include <QString>
#include <Qt>

class QWidget;

// The program's icon, at 16, 32, 48 and 64 pixels.
QIcon ProgramIcon();

// A dialog's window flags: a title bar with the close box only.
Qt::WindowFlags DialogFlags();

// The width a window needs for its title bar to show `title` whole: the
// title in the title bars' (bold) font and room for the window manager's
// icon and buttons on either side.
int TitleFitWidth(const QString& title);

// Gives a dialog the dialog flags, the program's icon and a fixed size wide
// enough for its title (set the title and the contents first).  A message
// box, which fixes its own size when shown, gets the width through its
// layout.
void StyleDialog(QWidget* dialog);
