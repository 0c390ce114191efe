// What the qorvel executable installs before its application controller: every subsystem's part
// in the running application, in launch order. Scenario tests run the same set-up, so they drive
// the real windows.
#pragma once

namespace QVApplicationSetup {

// Each subsystem installs its menu items, window commands and services before the application
// controller builds the menu bar and runs the launch. A new subsystem or kit adds its line here.
void installSubsystems();

}  // namespace QVApplicationSetup
