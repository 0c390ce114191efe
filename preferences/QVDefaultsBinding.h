// Ties a control to a user-defaults key both ways: the control shows the stored value and stores
// what the user sets; a change of the key from elsewhere updates the control.
#pragma once

#include <QString>

class QWidget;

namespace QVDefaultsBinding {

// Check boxes store booleans, spin boxes integers, line edits strings (when editing finishes),
// combo boxes the chosen item's data (its index when the item has none). A missing key shows
// the control's empty state without storing anything. The binding ends with the control.
// Other controls are not bound (false).
bool bind(QWidget* control, const QString& key);

}  // namespace QVDefaultsBinding
