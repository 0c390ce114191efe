// Names of the preference notifications the editor views, layout managers and gutters observe.
#pragma once

// Posted when editor preferences changed (font, tabs, wrapping, invisibles, typing aids);
// editor views and layout managers read the user defaults again.
inline constexpr const char* QorvelEditorPrefsChange = "QorvelEditorPrefsChange";
// Posted when line numbers or folding were switched on or off.
inline constexpr const char* QorvelCodeFoldingPrefChanged = "QorvelCodeFoldingPrefChanged";
// Posted when highlighting or theme preferences changed; every editor view reloads its colours
// and colours its text again.
inline constexpr const char* QorvelHighlightingPrefsChange = "QorvelHighlightingPrefsChange";
