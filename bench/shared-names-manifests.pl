#!/usr/bin/perl
# Writes synthetic manifests of discs that share their names, as backups of
# one shelf or yearly copies of one server do, for timing a catalog where
# one pathname is on every disc:
#
#   bench/shared-names-manifests.pl DIR [DISCS] [RECORDS]
#
# makes DIR/disc-0001.xml ... (DISCS, default 200, each of the same RECORDS
# pathnames, default 10,000) and DIR/stats.txt, one line on what they hold.
# One record in 20 has "final" in its name (in one of four spellings), so
# find '*final*' matches RECORDS / 20 files of each disc. The same
# arguments always give the same bytes (perl's own drand48, a fixed start).
#
# Each disc holds what the one before it held, but for about 6% of its
# files, whose contents (and most often lengths) change; about 2% of a
# disc's files hold the content of another of its files, and 1% are empty.
# Only the current contents are kept, so the generator's memory is that of
# one disc whatever DISCS is.
use strict;
use warnings;

my ($dir, $discs, $per_disc) = @ARGV;
die "usage: $0 DIR [DISCS] [RECORDS]\n" unless defined $dir;
$discs //= 200;
$per_disc //= 10000;
srand(20071);

sub pick { return $_[int(rand(@_))]; }
sub random_md5 { return sprintf("%08x%08x%08x%08x", map { int(rand(4294967296)) } 1 .. 4); }
sub random_length { my $n = int(exp(rand() * log(50000000))); return $n < 1 ? 1 : $n; }

my @tops = ("Projects", "Accounts", "Home", "Backup", "Mail", "Photos", "Software", "Clients",
  "Archive", "Shared");
my @folder_words = ("Documents", "Reports", "Invoices", "Letters", "Scans", "Drafts", "Minutes",
  "Plans", "Data", "Work", "Templates", "Old", "Tax", "Quotes", "Orders");
my @doc_words = ("Report", "report", "Invoice", "Letter", "Budget", "Minutes", "notes", "Summary",
  "Draft", "memo", "Contract", "Agenda", "Plan", "Offer", "Statement");
my @finals = (" final", " Final", "_FINAL", "-final");
my @tails = ("", "", " (draft)", "_v2", " old", " - Copy", " revised");
my @exts = ("doc", "DOC", "txt", "pdf", "xls", "rtf", "htm", "jpg", "dat");

# The pathnames: folders of 100 files, one or two levels below a top one;
# every name holds its number, so none repeats in a folder.
my @paths;
for (my $i = 0; $i < $per_disc; ++$i) {
  my $f = int($i / 100);
  my $folder = $tops[$f % @tops] . "\\" . sprintf("%s %03d", $folder_words[$f % @folder_words], $f) . "\\";
  $folder .= sprintf("Part %d\\", $f % 3) if $f % 4 == 1;
  my $tail = $i % 20 == 7 ? $finals[($i / 20) % @finals] : pick(@tails);
  push @paths, $folder . sprintf("%s %05d%s.%s", pick(@doc_words), $i, $tail, pick(@exts));
}
# Walk order: a separator sorts before every byte a name can hold.
@paths = map { $_->[1] } sort { $a->[0] cmp $b->[0] } map { [tr/\\/\0/r, $_] } @paths;

my @content = map { random_length() . " " . random_md5() } @paths;
my $empty = "0 d41d8cd98f00b204e9800998ecf8427e";
my $records = 0;
mkdir $dir;
for my $disc (1 .. $discs) {
  if ($disc > 1) {
    for my $i (0 .. $#paths) {
      my $r = rand();
      if ($r < 0.06) {
        my ($length) = split(/ /, $content[$i]);
        $length = random_length() if $length == 0 || rand() < 0.8;
        $content[$i] = "$length " . random_md5();
      }
    }
  }
  my @held = @content;
  for my $i (0 .. $#paths) {
    my $r = rand();
    if ($r < 0.02) { $held[$i] = $content[int(rand(@paths))]; }
    elsif ($r < 0.03) { $held[$i] = $empty; }
  }
  my $description = sprintf("Server backup %04d (%d-%02d)", $disc, 1996 + int($disc / 12), 1 + $disc % 12);
  my $name = sprintf("%s/disc-%04d.xml", $dir, $disc);
  open(my $out, ">:raw", "$name.part") or die "$name.part: $!\n";
  print $out "<root>\r\n<key_disc name=\"$description\">\r\n";
  for my $i (0 .. $#paths) {
    my ($length, $md5) = split(/ /, $held[$i]);
    print $out "<key_file pathname=\"$paths[$i]\" length=\"$length\" md5=\"$md5\" />\r\n";
  }
  print $out "</key_disc>\r\n</root>\r\n";
  close($out) or die "$name.part: $!\n";
  rename("$name.part", $name) or die "$name: $!\n";
  $records += @paths;
}
open(my $stats, ">", "$dir/stats.txt") or die "$dir/stats.txt: $!\n";
printf $stats "%d records, %d discs of the same %d pathnames; %d of each disc's names hold 'final'\n",
              $records, $discs, scalar(@paths), scalar(grep { /final/i } @paths);
close($stats) or die "$dir/stats.txt: $!\n";
