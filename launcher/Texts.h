// Captions and texts of the launcher's windows, shared by every front end.
#pragma once

namespace startell::texts {

// frmMain
inline constexpr char kMainCaption[] = "Install Calvera 5.0.1";
inline constexpr char kInstall[] = "Install Calvera";
inline constexpr char kRelease[] = "Read Release Notes";
inline constexpr char kRuntime[] = "Install Access Runtime";
inline constexpr char kQuit[] = "Quit";
inline constexpr char kVersion[] = "Version 5.0.1";
inline constexpr char kMaker[] = "Velmora Lighting Controls";

// frmInfo
inline constexpr char kInfoCaption[] = "Important!";
inline constexpr char kInfoText[] =
    "You have not yet read the release notes. Do you really want to install "
    "Calvera before reading the release notes?";
inline constexpr char kYes[] = "Yes";
inline constexpr char kNo[] = "No";

// frmRuntime
inline constexpr char kRuntimeCaption[] = "Install Access Runtime";
inline constexpr char kRuntimeText[] =
    "Are you sure you want to install Access Runtime? If you already have "
    "Microsoft Access on your machine, installing Access Runtime may damage "
    "your existing installation if it is not the same version. If you already "
    "have Microsoft Access on your machine, Calvera may work without Access "
    "Runtime being installed.";
inline constexpr char kRuntimeInstall[] = "Install";
inline constexpr char kRuntimeCancel[] = "Cancel";

// Font of the confirmation windows' labels and buttons.
inline constexpr char kConfirmFont[] = "Tahoma";

}  // namespace startell::texts
