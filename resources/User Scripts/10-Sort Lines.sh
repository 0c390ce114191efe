#!/bin/sh
# %%%{PBXName=Sort Lines}%%%
# %%%{PBXInput=Selection}%%%
# %%%{PBXOutput=ReplaceSelection}%%%
# %%%{PBXKeyEquivalent=^@s}%%%
# Qorvel pastes the editor's values into a copy of a script wherever a placeholder such as
# PBXSelectedText or PBXFilePath stands between its markers. The same values also arrive in
# environment variables of those names ($PBXSelectedText, $PBXAllText, $PBXTextLength,
# $PBXSelectionStart, $PBXSelectionEnd, $PBXSelectionLength, $PBXFilePath); a value too long for
# the environment is empty there and sits in the file that $PBXSelectedText_FILE (and so on)
# names. Reading the variables is safer than pasting: the text cannot turn into code.
# Sorts the selected lines in the C locale, so the order does not depend on the user's language.
LC_ALL=C sort
