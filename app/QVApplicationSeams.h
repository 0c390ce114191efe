// The seams between the application controller and the subsystems above it: the tools that
// hook into every editor (find panels, Tidy, preview, scripts, snippets, colours), the project
// manager, and the windows the application's menu items show. The qorvel executable installs
// them at launch; tests of the real windows install the same.
#pragma once

namespace QVApplicationSeams {
// After the application object is made, before any window: the tools every editor reaches.
void installTools();
// After the application controller is made: the windows of its menu items and the project
// hooks of its open path.
void installPanels();
}  // namespace QVApplicationSeams
