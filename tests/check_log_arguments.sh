#!/usr/bin/env bash
# The storage layer's logVeskMsg and the IPMI library's KVO_LOG build their
# message only while their log is on: a message may call nothing but the
# functions that only format text, or the call would happen only with the
# log on. Fails on any other call inside a message.
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$root"

mapfile -t files < <(find baseutils kvoipmi storage inventory -type f \
  \( -name '*.cpp' -o -name '*.h' \) 2>/dev/null | sort)

perl -e '
use strict;
use warnings;
# Functions that only turn values into text.
my %pure = map { $_ => 1 } qw(to_string string hex2 hexWithoutZeros returnCode dumpBytes
    getIPMICommandName partitionInfoLabel strerror shellArgument shellQuoted c_str str size
    GetUTF8String spaced modeName stateFlagText back what responseByte completionCode char
    static_cast);
my $found = 0;
for my $file (@ARGV) {
    open(my $in, "<", $file) or die "$file: $!";
    local $/;
    my $text = <$in>;
    close($in);
    while ($text =~ /\b(logVeskMsg|KVO_LOG)\s*\(/g) {
        my $start = pos($text);
        next if substr($text, $-[0] - 8, 8) =~ /define\s*$/;
        my ($depth, $at) = (1, $start);
        while ($depth > 0 && $at < length($text)) {
            my $c = substr($text, $at, 1);
            if ($c eq "\"") {
                $at++;
                $at += (substr($text, $at, 1) eq "\\") ? 2 : 1 while substr($text, $at, 1) ne "\"";
            } elsif ($c eq "(") {
                $depth++;
            } elsif ($c eq ")") {
                $depth--;
            }
            $at++;
        }
        my $call = substr($text, $start, $at - $start - 1);
        $call =~ s/"(?:\\.|[^"\\])*"/""/gs;
        while ($call =~ /([A-Za-z_][A-Za-z0-9_]*)\s*(?:<[^<>]*>)?\s*\(/g) {
            next if $pure{$1};
            my $line = substr($text, 0, $start) =~ tr/\n//;
            print "$file:" . ($line + 1) . ": $1(...) in a log message\n";
            $found = 1;
        }
    }
}
exit $found;
' "${files[@]}" || {
  echo "calls above happen only while the log is on: make them before the log line"
  exit 1
}
echo "log messages call only text functions in ${#files[@]} plug-in sources"
