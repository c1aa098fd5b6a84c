#!/usr/bin/env bash
# Fails when a plug-in source calls into the host operating system directly
# instead of through hostPort(). Member calls (hostPort().system(...)),
# class-qualified names (SystemHostPort::system) and declarations
# (int system(...)) are not calls of the host function and pass.
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$root"

mapfile -t files < <(find baseutils kvoipmi storage inventory -type f \
  \( -name '*.cpp' -o -name '*.h' \) ! -path baseutils/HostPort.cpp 2>/dev/null | sort)
[ ${#files[@]} -gt 0 ] || { echo "no sources found under $root"; exit 1; }

perl -e '
use strict;
use warnings;
my $names = qr/system|popen|sleep|usleep|nanosleep|uname|setuid|ioctl|select|umount2/;
my %keyword = map { $_ => 1 } qw(return else do throw case co_return);
my $found = 0;
for my $file (@ARGV) {
    open(my $in, "<", $file) or die "$file: $!";
    local $/;
    my $text = <$in>;
    close($in);
    # Blank out comments and literals, keeping the line breaks.
    $text =~ s{(//[^\n]*|/\*.*?\*/|"(?:\\.|[^"\\\n])*"|\x27(?:\\.|[^\x27\\\n])*\x27)}
              { my $m = $1; $m =~ s/[^\n]/ /g; $m }gse;
    my @lines = split /\n/, $text, -1;
    for my $i (0 .. $#lines) {
        my $line = $lines[$i];
        while ($line =~ /(?<![\w])($names|open)\s*\(/g) {
            my $name = $1;
            my $before = substr($line, 0, $-[0]);
            my $call;
            if ($before =~ /(\w*)\s*::\s*$/) {
                # ::name( and std::name( are the host functions; Class::name( is ours.
                $call = $1 eq "" || ($1 eq "std" && $name ne "open");
            } elsif ($name eq "open") {
                $call = 0;    # only the global ::open counts
            } elsif ($before =~ /(?:\.|->)\s*$/) {
                $call = 0;    # member call
            } elsif ($before =~ /(\w+)[\s&*]+$/ && !$keyword{$1}) {
                $call = 0;    # declaration: a type before the name
            } else {
                $call = 1;
            }
            if ($call) {
                my $source = (split /\n/, do { local @ARGV = ($file); local $/; <> })[$i];
                $source =~ s/^\s+//;
                print "$file:" . ($i + 1) . ": $source\n";
                $found = 1;
            }
        }
    }
}
exit $found;
' "${files[@]}" || {
  echo "direct host calls above: go through hostPort() (baseutils/HostPort.h)"
  exit 1
}
echo "no direct host calls in ${#files[@]} plug-in sources"
