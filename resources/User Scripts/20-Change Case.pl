#!/usr/bin/env perl
# %%%{PBXName=Upper Case}%%%
# %%%{PBXInput=Selection}%%%
# %%%{PBXOutput=ReplaceSelection}%%%
# %%%{PBXArgument=upper}%%%
# %%%{PBXNewScript}%%%
# %%%{PBXName=Lower Case}%%%
# %%%{PBXInput=Selection}%%%
# %%%{PBXOutput=ReplaceSelection}%%%
# %%%{PBXArgument=lower}%%%
# Qorvel pastes the editor's values into a copy of a script wherever a placeholder such as
# PBXSelectedText or PBXFilePath stands between its markers. The same values also arrive in
# environment variables of those names ($PBXSelectedText, $PBXAllText, $PBXTextLength,
# $PBXSelectionStart, $PBXSelectionEnd, $PBXSelectionLength, $PBXFilePath); a value too long for
# the environment is empty there and sits in the file that $PBXSelectedText_FILE (and so on)
# names. Reading the variables is safer than pasting: the text cannot turn into code.
# Changes the case of the selection; the menu entry passes the direction as the first argument.
use strict;
use warnings;
binmode(STDIN, ':encoding(UTF-8)');
binmode(STDOUT, ':encoding(UTF-8)');
my $mode = shift(@ARGV) // 'upper';
local $/;
my $text = <STDIN> // '';
print $mode eq 'lower' ? lc($text) : uc($text);
