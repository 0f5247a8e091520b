#!/usr/bin/perl
# Writes synthetic manifests, as disc-manifest writes them, for timing a
# catalog at the size of a real archive:
#
#   bench/synthetic-manifests.pl DIR [DISCS] [RECORDS]
#
# makes DIR/disc-001.xml ... (DISCS, default 200, of RECORDS records each,
# default 10,000); DIR/records.tsv, the same records as lines of disc
# number, pathname, length and MD5 separated by TABs, discs numbered in the
# order of the files' names; and DIR/stats.txt, one line on what they hold.
# The same arguments always give the same bytes (perl's own drand48, a
# fixed start).
#
# Each disc is a tree of folders 0 to 5 levels below its root, each with
# from one to a few hundred files, named as on real discs: photos, music,
# documents (some "Report2639 final.doc"), programs, and names that recur on
# many discs (Thumbs.db, setup.exe). Lengths are log-normal by kind of file,
# mostly small, a few of hundreds of MiB. Contents recur across discs in two
# ways: a disc may hold a copy of a top folder of an earlier disc (same
# pathnames and contents), and a file may hold a content an earlier disc
# has under another name. Records come in the walk's order: each folder's
# entries in ascending byte order, a subfolder's entries where it is met.
use strict;
use warnings;

my ($dir, $discs, $per_disc) = @ARGV;
die "usage: $0 DIR [DISCS] [RECORDS]\n" unless defined $dir;
$discs //= 200;
$per_disc //= 10000;
srand(20061);

my $max_depth = 5;          # folders below the root; files 1 to 6 levels deep
my @depth_share = (0, 0.20, 0.27, 0.24, 0.17, 0.12);   # of new folders, by depth
my $copy_share = 0.55;      # discs holding a copy of an earlier top folder
my $copy_most = 2500;       # records of such a copy, at most
my $reuse_share = 0.20;     # files holding an earlier disc's content
my $pool_most = 300000;     # contents kept to draw those from

sub pick { return $_[int(rand(@_))]; }

# A normal deviate (Box-Muller).
sub gauss { return sqrt(-2 * log(1 - rand())) * cos(6.283185307179586 * rand()); }

sub log_normal {
  my ($median, $sigma, $most) = @_;
  my $n = int($median * exp($sigma * gauss()));
  return $n < 1 ? 1 : $n > $most ? $most : $n;
}

sub random_md5 { return sprintf("%08x%08x%08x%08x", map { int(rand(4294967296)) } 1 .. 4); }

my @folder_words = ("Documents", "My Documents", "Photos", "Pictures", "Music", "Program Files",
  "WINDOWS", "system32", "Projects", "Backup", "backup.old", "src", "Data", "Work", "Private",
  "Letters", "Reports", "Invoices", "Holiday", "Temp", "New Folder", "Downloads", "Setup",
  "Drivers", "Games", "Fonts", "Help", "bin", "lib", "docs", "Archive", "Clients", "Accounts",
  "Scans", "Mail", "Video", "Albums", "Misc", "Kids", "Garden", "Tax", "Recipes", "Wedding",
  "CAMERA", "DCIM", "100CANON", "Office", "Templates", "Presentations", "Site", "images", "www",
  "Holiday photos", "Scanned letters", "Family tree", "Application Data");
my @folder_tails = ("", "", "", " 1998", " 1999", " 2001", " 2003", " 2005", " 2007", " (2)",
  " old", ".bak", "_v2", " Q1", " Q3", " - copy", " Smith", " new", " 2003-07 Crete",
  " from old PC", " (scanned)", " - Smith family", " backup 2004-05-12", " for Anna");
my @doc_words = ("Report", "report", "REPORT", "Invoice", "invoice", "Letter to Anna", "letter",
  "Budget", "budget", "Minutes", "notes", "Notes", "Summary", "Draft", "memo", "Memo", "CV",
  "Thesis chapter", "Quote", "Order", "Contract", "Agenda", "Plan", "Offer", "Statement",
  "Letter to the bank", "Meeting notes", "Annual statement", "Application form");
my @doc_seps = ("", "", " ", "_", "-", " no. ");
my @doc_tails = ("", "", "", " final", " (draft)", "_v2", " old", " - Copy", ".bak", " revised");
my @doc_exts = ("doc", "doc", "DOC", "txt", "TXT", "pdf", "xls", "rtf", "htm", "wpd", "ppt");
my @title_words = ("The", "Long", "Road", "love", "Night", "of", "Blue", "river", "Song", "Home",
  "away", "My", "Heart", "in", "Rain", "Summer", "Dance", "Light", "Dream", "World", "again");
my @prog_words = ("msvcrt", "MFC42", "comctl32", "setup", "install", "Uninst", "update",
  "player", "codec", "zlib", "libpng", "vbrun", "DirectX", "d3dx9", "ole32", "shell", "helper",
  "driver", "printer", "scanner", "game", "engine", "sound", "video", "net", "util");
my @prog_exts = ("dll", "dll", "DLL", "exe", "EXE", "ocx", "sys", "hlp", "ini", "cab", "inf");
my @common_names = ("Thumbs.db", "desktop.ini", "README.TXT", "readme.txt", "setup.exe",
  "AUTORUN.INF", "index.htm", "license.txt", "msvcrt.dll", "MFC42.DLL", "uninst.exe", "data.cab",
  "Setup.ini", "autorun.ico", "Default.htm", "style.css", "~\$normal.dot", "folder.jpg");

# A file name and the length a file of its kind tends to have.
sub new_file {
  my $r = rand();
  if ($r < 0.14) {
    my $name = pick(sprintf("IMG_%04d.JPG", int(rand(10000))),
                    sprintf("DSC%05d.JPG", int(rand(100000))),
                    sprintf("dsc%05d.jpg", int(rand(100000))),
                    sprintf("P%07d.JPG", int(rand(10000000))),
                    sprintf("Photo %03d.jpg", int(rand(1000))),
                    sprintf("%s %d.jpg", pick(@folder_words), int(rand(300))));
    return ($name, log_normal(1800000, 0.6, 20000000));
  }
  if ($r < 0.20) {
    my $title = join(" ", map { pick(@title_words) } 1 .. 2 + int(rand(3)));
    my $name = pick(sprintf("%02d - %s.mp3", 1 + int(rand(20)), $title),
                    sprintf("%02d %s.mp3", 1 + int(rand(20)), $title),
                    sprintf("Track %02d.mp3", 1 + int(rand(20))),
                    sprintf("track%02d.wav", 1 + int(rand(20))));
    return ($name, log_normal($name =~ /wav$/ ? 40000000 : 4000000, 0.5, 700000000));
  }
  if ($r < 0.54) {
    my $form = rand();
    my $name = $form < 0.10 ? pick("Report", "report", "REPORT") . int(rand(10000))
             : $form < 0.35 ? pick(@doc_words) . " " . pick(@title_words)
             : pick(@doc_words) . pick(@doc_seps) . int(rand(10000));
    $name = ($form < 0.10 || $form >= 0.35 ? $name . pick(@doc_tails) : $name) . "."
            . pick(@doc_exts);
    $name = "Copy of $name" if rand() < 0.03;
    return ($name, log_normal(40000, 1.5, 300000000));
  }
  if ($r < 0.70) {
    my $name = pick(@prog_words) . (rand() < 0.3 ? int(rand(100)) : "") . "." . pick(@prog_exts);
    return ($name, log_normal(80000, 1.8, 900000000));
  }
  if ($r < 0.75) {
    return (pick(@common_names), log_normal(3000, 1.5, 2000000));
  }
  return (sprintf("IMAGE%d.ISO", int(rand(50))), log_normal(600000000, 0.3, 4700000000))
    if rand() < 0.01;
  my $name = pick(sprintf("~WRL%04d.tmp", int(rand(10000))),
                  sprintf("file%04d.dat", int(rand(10000))),
                  sprintf("backup.%03d", int(rand(1000))),
                  sprintf("index%d.html", int(rand(500))),
                  sprintf("page%03d.htm", int(rand(1000))),
                  sprintf("Image%d.gif", int(rand(2000))),
                  sprintf("log.%04d-%02d-%02d.txt", 1995 + int(rand(15)), 1 + int(rand(12)),
                          1 + int(rand(28))),
                  sprintf("%s.%s", lc(pick(@title_words)), pick("bak", "tmp", "old", "cfg", "log")));
  return ($name, log_normal(5000, 2.5, 4000000000));
}

my @pool;         # "LENGTH MD5" of earlier discs, a sample
my $pool_seen = 0;

sub keep_in_pool {
  my ($content) = @_;
  ++$pool_seen;
  if (@pool < $pool_most) { push @pool, $content; }
  else {
    my $i = int(rand($pool_seen));
    $pool[$i] = $content if $i < $pool_most;
  }
}

mkdir $dir;
open(my $tsv, ">:raw", "$dir/records.tsv.part") or die "$dir/records.tsv.part: $!\n";
my @kinds = ("Backup", "Photos CD", "Archive disc", "Music", "Software", "Projects DVD");
for my $disc (1 .. $discs) {
  my %file;       # pathname => "LENGTH MD5"
  my %taken;      # folder path ("" or "A\B\") => { name => 1 }
  my @folders = ("");
  my %depth = ("" => 0);
  my $left = $per_disc;

  # A copy of a top folder of an earlier disc, as a backup holds one.
  if ($disc > 1 && rand() < $copy_share) {
    my $earlier = 1 + int(rand($disc - 1));
    my $from = sprintf("%s/disc-%03d.xml", $dir, $earlier);
    open(my $in, "<:raw", $from) or die "$from: $!\n";
    my (%by_top, @tops);
    while (my $line = <$in>) {
      next unless $line =~ /^<key_file pathname="(([^"\\]*)\\[^"]*)" length="(\d+)" md5="([0-9a-f]{32})" \/>\r\n$/;
      push @tops, $2 unless exists $by_top{$2};
      push @{$by_top{$2}}, [$1, "$3 $4"];
    }
    close($in);
    if (@tops) {
      my $top = pick(@tops);
      my @records = @{$by_top{$top}};
      splice(@records, $copy_most) if @records > $copy_most;
      for my $record (@records) {
        $file{$record->[0]} = $record->[1];
        --$left;
      }
      $taken{""}{$top} = 1;
    }
  }

  # New folders below random earlier ones, each with its files.
  while ($left > 0) {
    # Shallow folders are more common than deep ones.
    my $r = rand();
    my $want = 1;
    $want++ while $want < $max_depth && ($r -= $depth_share[$want]) > 0;
    my @parents = grep { $depth{$_} == $want - 1 } @folders;
    @parents = grep { $depth{$_} < $want } @folders unless @parents;
    my $parent = pick(@parents);
    my $name;
    do {
      $name = pick(@folder_words) . pick(@folder_tails);
    } while ($taken{$parent}{$name});
    $taken{$parent}{$name} = 1;
    my $folder = "$parent$name\\";
    push @folders, $folder;
    $depth{$folder} = $depth{$parent} + 1;
    # From one to 400 files, as many folders of a few as of a few hundred.
    my $count = int(exp(rand() * log(400)));
    $count = $left if $count > $left;
    # A few files at the root too.
    my @where = ($folder) x $count;
    $where[0] = "" if $count > 3 && rand() < 0.2;
    for my $at (@where) {
      my ($file, $length) = new_file();
      for (my $n = 2; $taken{$at}{$file}; ++$n) {
        $file =~ s{^(.*?)( \(\d+\))?(\.[^.]*)?$}{"$1 ($n)" . ($3 // "")}e;
      }
      $taken{$at}{$file} = 1;
      my $content;
      if (@pool && rand() < $reuse_share) {
        $content = $pool[int(rand(@pool))];
      } else {
        $length = 0 if rand() < 0.01;
        $content = "$length " . ($length ? random_md5() : "d41d8cd98f00b204e9800998ecf8427e");
      }
      $file{"$at$file"} = $content;
      --$left;
    }
  }

  # Walk order: a separator sorts before every byte a name can hold.
  my @order = map { $_->[1] }
              sort { $a->[0] cmp $b->[0] }
              map { [tr/\\/\0/r, $_] } keys %file;
  my $description = sprintf("%s %03d (%d-%02d)", $kinds[$disc % @kinds], $disc,
                            1996 + int($disc / 16), 1 + $disc % 12);
  my $name = sprintf("%s/disc-%03d.xml", $dir, $disc);
  open(my $out, ">:raw", "$name.part") or die "$name.part: $!\n";
  print $out "<root>\r\n<key_disc name=\"$description\">\r\n";
  for my $path (@order) {
    my ($length, $md5) = split(/ /, $file{$path});
    print $out "<key_file pathname=\"$path\" length=\"$length\" md5=\"$md5\" />\r\n";
    print $tsv "$disc\t$path\t$length\t$md5\n";
  }
  print $out "</key_disc>\r\n</root>\r\n";
  close($out) or die "$name.part: $!\n";
  rename("$name.part", $name) or die "$name: $!\n";
  keep_in_pool($file{$_}) for grep { $file{$_} !~ /^0 / } @order;
}
close($tsv) or die "$dir/records.tsv.part: $!\n";
rename("$dir/records.tsv.part", "$dir/records.tsv") or die "$dir/records.tsv: $!\n";

# What the records hold: how many contents recur on other discs, and how
# deep the files lie.
my (%first_disc, %recurs, %count, %depth, $records, $files);
open(my $in, "<:raw", "$dir/records.tsv") or die "$dir/records.tsv: $!\n";
while (my $line = <$in>) {
  chomp($line);
  my ($disc, $path, $length, $md5) = split(/\t/, $line);
  ++$records;
  ++$depth{($path =~ tr/\\//) + 1};
  next unless $length;
  ++$files;
  my $key = "$length $md5";
  ++$count{$key};
  if (!exists $first_disc{$key}) { $first_disc{$key} = $disc; }
  elsif ($first_disc{$key} != $disc) { $recurs{$key} = 1; }
}
close($in);
my $recurring = 0;
$recurring += $count{$_} for keys %recurs;
open(my $stats, ">", "$dir/stats.txt") or die "$dir/stats.txt: $!\n";
printf $stats "%d records; %.1f%% of the non-empty ones hold a content found on another disc;"
              . " files by levels of their pathnames: %s\n", $records, 100 * $recurring / $files,
              join(", ", map { sprintf("%d: %.1f%%", $_, 100 * $depth{$_} / $records) }
                         sort keys %depth);
close($stats) or die "$dir/stats.txt: $!\n";
