#!/usr/bin/env perl
# Turns recorded server streams (record_proxy.pl) into the seed files of the fuzz targets, in the
# input layouts of tests/fuzz/FuzzHarness.h.
#   split_seeds.pl WORK_DIR CORPUS_DIR
# WORK_DIR holds NAME.s2c files; a name starting with "compressed" switches to compressed frames
# after the authentication's OK, as the client does.
use strict;
use warnings;
use Compress::Zlib;

my ($work, $corpus) = @ARGV;
die "usage: split_seeds.pl WORK_DIR CORPUS_DIR\n" unless defined $corpus;

sub slurp { my ($f) = @_; open(my $h, '<:raw', $f) or die "$f: $!\n"; local $/; my $d = <$h>; close $h; $d }
my %seen;
sub spit {
  my ($target, $name, $bytes) = @_;
  return if $seen{$target}{$bytes}++;  # the same answer recorded twice is one seed
  my $dir = "$corpus/$target";
  mkdir $dir unless -d $dir;
  open(my $h, '>:raw', "$dir/$name.bin") or die "$dir/$name.bin: $!\n";
  print $h $bytes;
  close $h;
}
sub script { join '', map { pack('v', length $_) . $_ } @_ }

# Plain frames joined into payloads (a frame of 0xFFFFFF bytes continues the payload).
sub payloads {
  my ($stream, $limit) = @_;
  my @out;
  my $cur = '';
  my $pos = 0;
  while ($pos + 4 <= length $stream && (!defined $limit || @out < $limit)) {
    my $len = unpack('V', substr($stream, $pos, 3) . "\0");
    last if $pos + 4 + $len > length $stream;
    $cur .= substr($stream, $pos + 4, $len);
    $pos += 4 + $len;
    next if $len == 0xFFFFFF;
    push @out, $cur;
    $cur = '';
  }
  return (\@out, $pos);
}

sub inflate_frames {
  my ($stream) = @_;
  my $plain = '';
  my $pos = 0;
  while ($pos + 7 <= length $stream) {
    my $packed = unpack('V', substr($stream, $pos, 3) . "\0");
    my $unpacked = unpack('V', substr($stream, $pos + 4, 3) . "\0");
    my $body = substr($stream, $pos + 7, $packed);
    $plain .= $unpacked == 0 ? $body : uncompress($body);
    $pos += 7 + $packed;
  }
  return $plain;
}

sub lenenc {
  my ($p, $off) = @_;
  my $c = ord substr($p, $off, 1);
  return ($c, 1) if $c < 0xFB;
  return (unpack('v', substr($p, $off + 1, 2)), 3) if $c == 0xFC;
  return (unpack('V', substr($p, $off + 1, 3) . "\0"), 4) if $c == 0xFD;
  return (unpack('Q<', substr($p, $off + 1, 8)), 9);
}

sub is_eof { my ($p) = @_; length($p) <= 8 && length($p) > 0 && ord($p) == 0xFE }

my (%defs, %rows);
for my $file (sort glob("$work/*.s2c")) {
  my ($name) = $file =~ m{([^/]+)\.s2c$};
  my $stream = slurp($file);
  next if length $stream == 0;
  my ($head) = payloads($stream);
  # The handshake: the greeting and the server's packets up to the OK or ERR that ends it.
  my $auth_end = 1;
  $auth_end++ while $auth_end < @$head && ord($head->[$auth_end]) != 0x00 && ord($head->[$auth_end]) != 0xFF;
  my @handshake = @$head[0 .. ($auth_end < @$head ? $auth_end : $#$head)];
  # Greetings differ only in their nonce and thread id: one plain and one of the old-password run.
  spit('greeting', $name, $head->[0]) if $name eq 'plain' || $name eq 'oldpw';
  my $empty_pw = $name =~ /nopw/ ? 8 : 0;
  spit('auth', $name, chr($empty_pw) . script(@handshake[1 .. $#handshake]));

  my @answers;
  if ($name =~ /^compressed/) {
    my (undef, $plain_end) = payloads($stream, scalar @handshake);
    my $inner = inflate_frames(substr($stream, $plain_end));
    ($head) = payloads($inner);
    @answers = @$head;
    # Plain greeting and authentication, then compressed frames.
    spit('packet_layer', $name, chr(1 | (scalar(@handshake) << 4)) . $stream) if @handshake < 16;
  } else {
    @answers = @$head[scalar(@handshake) .. $#$head];
    spit('packet_layer', $name, chr(0) . $stream);
    spit('packet_layer', "$name-skip", chr(2) . $stream) if $name eq 'plain';
  }

  # One seed per query answer.
  my $k = 0;
  while (@answers) {
    my $first = shift @answers;
    my @one = ($first);
    my $c = ord $first;
    if ($c != 0x00 && $c != 0xFF && $c != 0xFB) {
      my ($count) = lenenc($first, 0);
      for (1 .. $count) { my $d = shift @answers // last; push @one, $d; $defs{$d} //= $count; }
      push @one, shift @answers // '';  # EOF after the definitions
      while (@answers) {
        my $r = shift @answers;
        push @one, $r;
        last if is_eof($r) || ord($r) == 0xFF;
        $rows{$r} //= $count;
      }
    }
    spit('ok_eof_err', sprintf('%s-%02d', $name, $k++), chr(0x07) . script(@one));
  }
}

# A handful of distinct definitions and rows, the smallest first.
my $i = 0;
for my $d (sort { length $a <=> length $b || $a cmp $b } keys %defs) {
  last if $i >= 8;
  spit('column_definition', sprintf('def-%02d', $i++), "\0" . $d);
}
$i = 0;
for my $r (sort { length $a <=> length $b || $a cmp $b } keys %rows) {
  last if $i >= 8;
  spit('text_row', sprintf('row-%02d', $i++), chr($rows{$r}) . $r);
}
