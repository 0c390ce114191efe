#!/bin/sh
# %%%{PBXName=Sort Lines}%%%
# %%%{PBXInput=Selection}%%%
# %%%{PBXOutput=ReplaceSelection}%%%
# %%%{PBXKeyEquivalent=^@s}%%%
# Sorts the selected lines in the C locale, so the order does not depend on the user's language.
LC_ALL=C sort
