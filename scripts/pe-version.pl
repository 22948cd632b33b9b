#!/usr/bin/perl
# What a Windows module says of itself, read from its bytes without Windows:
#   pe-version.pl FILE
# prints its machine and the version information of its VERSIONINFO resource:
#   Machine=i386 | x86_64 | 0x....
#   FILEVERSION=a.b.c.d
#   PRODUCTVERSION=a.b.c.d
#   Name=value          one line for each string of each string table
# Exits 1 when the file is not a module or carries no version information.
use strict;
use warnings;

my $file = shift // die "usage: pe-version.pl FILE\n";
open(my $fh, '<:raw', $file) or die "$file: $!\n";
my $data = do { local $/; <$fh> };
close($fh);

sub fail { print STDERR "$file: $_[0]\n"; exit 1; }
sub u16 { return unpack('v', substr($data, $_[0], 2)); }
sub u32 { return unpack('V', substr($data, $_[0], 4)); }

fail('not a Windows module') if length($data) < 0x40 || substr($data, 0, 2) ne 'MZ';
my $pe = u32(0x3c);
fail('not a Windows module') if $pe + 6 > length($data) || substr($data, $pe, 4) ne "PE\0\0";
my %machines = (0x14c => 'i386', 0x8664 => 'x86_64');
my $machine = u16($pe + 4);
print 'Machine=', $machines{$machine} // sprintf('0x%04x', $machine), "\n";

# The resource is stored as written: a VS_VERSIONINFO block, found by its key. Every block is
# (length, value length, type, key, padding, value, padding, children), aligned to four bytes from
# the start of the resource.
my $key = join('', map { pack('v', ord) } split(//, "VS_VERSION_INFO\0"));
my $at = index($data, $key);
fail('no version information') if $at < 6;
my $base = $at - 6;

sub align { return $base + (($_[0] - $base + 3) & ~3); }

# Returns (key, value offset, value length, children offset, end) of the block at an offset.
sub block {
    my ($offset) = @_;
    my ($length, $value_length, $type) = unpack('v3', substr($data, $offset, 6));
    fail('damaged version information') if $length < 6 || $offset + $length > length($data);
    my ($name, $p) = ('', $offset + 6);
    while ($p + 1 < $offset + $length && (my $c = u16($p)) != 0) {
        $name .= chr($c);
        $p += 2;
    }
    my $value = align($p + 2);
    # Text values count their length in characters, binary values in bytes.
    my $bytes = $type == 1 ? 2 * $value_length : $value_length;
    return ($name, $value, $bytes, align($value + $bytes), $offset + $length);
}

sub children {
    my ($first, $end) = @_;
    my @offsets;
    for (my $p = $first; $p + 6 <= $end;) {
        my @b = block($p);
        push(@offsets, $p);
        last if $b[4] <= $p;
        $p = align($b[4]);
    }
    return @offsets;
}

sub text {
    my ($offset, $bytes) = @_;
    my $s = '';
    for (my $p = $offset; $p + 1 < $offset + $bytes; $p += 2) {
        my $c = u16($p);
        last if $c == 0;
        $s .= chr($c);
    }
    return $s;
}

my ($root, $fixed, $fixed_bytes, $first, $end) = block($base);
fail('no fixed version information') if $fixed_bytes < 52 || u32($fixed) != 0xFEEF04BD;
sub quad { my ($ms, $ls) = @_; return join('.', $ms >> 16, $ms & 0xffff, $ls >> 16, $ls & 0xffff); }
print 'FILEVERSION=', quad(u32($fixed + 8), u32($fixed + 12)), "\n";
print 'PRODUCTVERSION=', quad(u32($fixed + 16), u32($fixed + 20)), "\n";

binmode(STDOUT, ':encoding(UTF-8)');
for my $info (children($first, $end)) {
    my ($name, undef, undef, $tables, $info_end) = block($info);
    next unless $name eq 'StringFileInfo';
    for my $table (children($tables, $info_end)) {
        my (undef, undef, undef, $strings, $table_end) = block($table);
        for my $string (children($strings, $table_end)) {
            my ($string_name, $value, $bytes) = block($string);
            print "$string_name=", text($value, $bytes), "\n";
        }
    }
}
