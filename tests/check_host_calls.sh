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
my $names = qr/system|popen|sleep|usleep|nanosleep|uname|setuid|ioctl|select|umount2|sigaction|signal|lstat|flock|fchmod|mkdir/;
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
# Files under absolute system paths are touched only through the resolved
# path: a call that opens, inspects or edits a file and names a system path
# (a literal, or a constant defined from one in the same source) must resolve
# it on that line or go through hostPort() itself.
perl -e '
use strict;
use warnings;
my $system = qr{"/(?:etc|tmp|dev|sys|proc|lib|lib64|opt|scratch|var|usr|vmfs|mnt|run)(?:/[^"]*)?"};
my $touch = qr/\b(?:fopen|freopen|opendir|stat|lstat|statfs|access|readlink|realpath|mkdir|rmdir|remove|rename|unlink|chmod|truncate|creat|mkstemp|dlopen|xmlParseFile|xmlReadFile|xmlSaveFile|xmlSaveFormatFile|xmlSaveFormatFileEnc|open)\s*\(|\b[io]?fstream\s+\w+\s*[({]/;
my $found = 0;
for my $file (@ARGV) {
    open(my $in, "<", $file) or die "$file: $!";
    local $/;
    my $text = <$in>;
    close($in);
    # Blank out comments only; the literals are what is looked for.
    $text =~ s{(//[^\n]*|/\*.*?\*/|"(?:\\.|[^"\\\n])*")}
              { my $m = $1; $m =~ /^"/ ? $m : do { $m =~ s/[^\n]/ /g; $m } }gse;
    my %constant;
    while ($text =~ /(\w+)\s*(?:\[\s*\w*\s*\])?\s*=\s*\{?\s*$system/g) {
        $constant{$1} = 1;
    }
    while ($text =~ /(?:string|char\s*\*|char)\s+(\w+)\s*[({]\s*$system/g) {
        $constant{$1} = 1;
    }
    my $names = join("|", map { quotemeta } sort keys %constant);
    my @lines = split /\n/, $text, -1;
    for my $i (0 .. $#lines) {
        my $line = $lines[$i];
        next if $line =~ /hostPort\(\)|resolve\s*\(/;
        next unless $line =~ $touch;
        my $rest = substr($line, $-[0]);
        if ($rest =~ $system || ($names ne "" && $rest =~ /\b(?:$names)\b/)) {
            $line =~ s/^\s+//;
            print "$file:" . ($i + 1) . ": $line\n";
            $found = 1;
        }
    }
}
exit $found;
' "${files[@]}" || {
  echo "system paths touched above without hostPort().resolve()"
  exit 1
}
echo "no direct host calls in ${#files[@]} plug-in sources"
