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
# Changes the case of the selection; the menu entry passes the direction as the first argument.
use strict;
use warnings;
binmode(STDIN, ':encoding(UTF-8)');
binmode(STDOUT, ':encoding(UTF-8)');
my $mode = shift(@ARGV) // 'upper';
local $/;
my $text = <STDIN> // '';
print $mode eq 'lower' ? lc($text) : uc($text);
