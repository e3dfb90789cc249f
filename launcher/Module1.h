// The programs on the installation medium that the launcher starts, and the
// two routines that start the installers.
#pragma once

#include "ProgramStarter.h"

namespace startell {

inline constexpr char kSetupCommand[] = "data\\setup";
inline constexpr char kRuntimeSetupCommand[] = "data\\rtsetup.bat";
inline constexpr char kReleaseNotesCommand[] = "autoutil.bat readme";

StartRequest ProductInstallerRequest();
StartRequest RuntimeInstallerRequest();
StartRequest ReleaseNotesRequest();

StartResult StartProductInstaller(ProgramStarter& starter);
StartResult StartRuntimeInstaller(ProgramStarter& starter);

}  // namespace startell
