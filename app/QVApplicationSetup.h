// What the qorvel executable installs around the application controller: the subsystems' own
// set-up before the controller is made, and after it the windows its menu items show and the
// seams of its open path. Scenario tests run the same set-up, so they drive the real windows.
#pragma once

namespace QVApplicationSetup {

// The find windows, Tidy, preview, the list of projects, scripts, the colour panel and the
// snippet tools; before the application controller is made.
void installSubsystems();
// The windows of File > New Project…, Open Remote Directory…, Window > Project Manager and the
// other panel items, the projects' part of the open path and the help browser; after the
// controller is made.
void installPanels();

}  // namespace QVApplicationSetup
