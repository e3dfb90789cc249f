#include "Module1.h"

namespace startell {

StartRequest ProductInstallerRequest() {
  return StartRequest{kSetupCommand, WindowMode::kNormalFocus};
}

StartRequest RuntimeInstallerRequest() {
  return StartRequest{kRuntimeSetupCommand, WindowMode::kNormalFocus};
}

StartRequest ReleaseNotesRequest() {
  return StartRequest{kReleaseNotesCommand, WindowMode::kMinimisedNoFocus};
}

StartResult StartProductInstaller(ProgramStarter& starter) {
  return starter.Start(ProductInstallerRequest());
}

StartResult StartRuntimeInstaller(ProgramStarter& starter) {
  return starter.Start(RuntimeInstallerRequest());
}

}  // namespace startell
