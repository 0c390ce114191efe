// Names of the notifications the find windows observe.
#pragma once

// Posted by an editor's use-selection-for-find with the selected text in the user info under
// QVSearchStringKey; every find window takes it as a literal search text.
inline constexpr const char* QVSetSearchString = "QVSetSearchString";
inline constexpr const char* QVSearchStringKey = "string";
