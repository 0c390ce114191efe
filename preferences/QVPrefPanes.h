// The pane classes the pane list may name.
#pragma once

namespace QVPrefPanes {

// Registers every pane class under its own name; safe to call more than once.
void registerStandardPanes();

}  // namespace QVPrefPanes
