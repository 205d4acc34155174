#!/usr/bin/env perl
# Relays one MySQL connection between a client and the private test server and records what the
# server sent, as it came off the wire, for the fuzz seed corpora (record_seeds.sh).
#   record_proxy.pl SERVER_PORT OUT_FILE PORT_FILE
# Listens on a free loopback port (written to PORT_FILE), accepts one client, relays both ways
# until either side closes, writes the server's bytes to OUT_FILE and ends.
use strict;
use warnings;
use IO::Socket::INET;
use IO::Select;

my ($server_port, $out_file, $port_file) = @ARGV;
die "usage: record_proxy.pl SERVER_PORT OUT_FILE PORT_FILE\n" unless defined $port_file;

my $listen = IO::Socket::INET->new(LocalAddr => '127.0.0.1', LocalPort => 0, Listen => 1,
                                   ReuseAddr => 1) or die "listen: $!\n";
open(my $pf, '>', "$port_file.tmp") or die "$port_file: $!\n";
print $pf $listen->sockport, "\n";
close $pf;
rename "$port_file.tmp", $port_file or die "rename: $!\n";

my $client = $listen->accept or die "accept: $!\n";
my $server = IO::Socket::INET->new(PeerAddr => '127.0.0.1', PeerPort => $server_port)
  or die "connect: $!\n";
close $listen;

my $recorded = '';
my $sel = IO::Select->new($client, $server);
RELAY: while (1) {
  my @ready = $sel->can_read(30) or last;
  for my $s (@ready) {
    my $n = sysread($s, my $buf, 65536);
    last RELAY unless $n;
    if ($s == $server) {
      $recorded .= $buf;
      syswrite($client, $buf) // last RELAY;
    } else {
      syswrite($server, $buf) // last RELAY;
    }
  }
}
close $client;
close $server;
open(my $of, '>:raw', $out_file) or die "$out_file: $!\n";
print $of $recorded;
close $of;
