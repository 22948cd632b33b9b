#!/usr/bin/perl
# What ./run script needs around Wine's cscript, which reads a script in the ANSI code page only
# and says nothing, with exit status 0, when a script does not parse or stops with an error.
#
#   script-host.pl text FILE OUT        writes FILE as cscript can read it, when it must be
#                                       converted: exit 0 when OUT was written, 3 when FILE can be
#                                       run as it is, 1 (with a message) when it cannot be run
#   script-host.pl error LOG FILE NAME  prints the error that the script host met, as
#                                       "NAME:LINE: message" and the line, from the debug channels
#                                       of Wine's script engines in LOG (FILE is the file cscript
#                                       ran, NAME the script as the user named it); exit 0 when
#                                       there was one, 3 when there was none
#
# Text: a file with a UTF-8 byte order mark, or one that is valid UTF-8 and not plain ASCII, is
# UTF-8; one with a UTF-16 mark is UTF-16; anything else is taken as the ANSI code page (949), as
# cscript takes it. A JScript file is written as ASCII with every other character as a \uXXXX
# escape (the line numbers stay; a string, a regular expression and a comment read the same); a
# VBScript file, whose language has no escapes, in code page 949.
use strict;
use warnings;
use Encode qw(decode encode FB_CROAK);

sub slurp {
    my ($path) = @_;
    open(my $in, '<:raw', $path) or die "cannot read $path: $!\n";
    local $/;
    my $bytes = <$in>;
    close $in;
    return defined $bytes ? $bytes : '';
}

sub spew {
    my ($path, $bytes) = @_;
    open(my $out, '>:raw', $path) or die "cannot write $path: $!\n";
    print $out $bytes;
    close $out or die "cannot write $path: $!\n";
}

# The script's text as characters, or undef when it is in the ANSI code page (cscript's own).
sub script_text {
    my ($bytes) = @_;
    return decode('UTF-16LE', substr($bytes, 2), FB_CROAK) if $bytes =~ /\A\xFF\xFE/;
    return decode('UTF-16BE', substr($bytes, 2), FB_CROAK) if $bytes =~ /\A\xFE\xFF/;
    return decode('UTF-8', substr($bytes, 3), FB_CROAK) if $bytes =~ /\A\xEF\xBB\xBF/;
    return undef unless $bytes =~ /[\x80-\xFF]/;
    my $text = eval { decode('UTF-8', $bytes, FB_CROAK) };
    return $text;
}

sub escape_jscript {
    my ($text) = @_;
    $text =~ s{(\\*)([^\x00-\x7F])}{
        my ($backslashes, $c) = ($1, ord $2);
        # "\é" is an escape of é: it becomes the escape of é itself.
        (length($backslashes) % 2 ? substr($backslashes, 1) : $backslashes)
            . ($c > 0xFFFF
               ? sprintf('\\u%04X\\u%04X', 0xD800 + (($c - 0x10000) >> 10), 0xDC00 + (($c - 0x10000) & 0x3FF))
               : sprintf('\\u%04X', $c))
    }ge;
    return $text;
}

sub convert {
    my ($file, $out) = @_;
    my $bytes = slurp($file);
    my $text = eval { script_text($bytes) };
    if ($@) {
        print STDERR "$file: neither UTF-8 nor UTF-16 throughout, although it starts with the mark of one\n";
        return 1;
    }
    return 3 unless defined $text;
    if ($file =~ /\.vbs$/i) {
        my $ansi = eval { encode('cp949', $text, FB_CROAK) };
        unless (defined $ansi) {
            print STDERR "$file: VBScript is read in code page 949, which cannot write every character"
                . " of this script; use JScript (\\u escapes) for them\n";
            return 1;
        }
        spew($out, $ansi);
    } else {
        spew($out, escape_jscript($text));
    }
    return 0;
}

# A string as Wine's debug output writes it (L"...": C escapes, and a character past ASCII as a
# backslash and four hex digits), back as text.
sub unescape {
    my ($s) = @_;
    $s =~ s{\\(?:([0-9a-fA-F]{4})|x([0-9a-fA-F]{2})|([nrt\\"']))}{
        defined $1 ? chr(hex $1) : defined $2 ? chr(hex $2)
        : $3 eq 'n' ? "\n" : $3 eq 'r' ? "\r" : $3 eq 't' ? "\t" : $3
    }ge;
    return $s;
}

# The messages of the errors that scripts meet most, by HRESULT (JScript's and VBScript's own
# numbers, 0x800A....; the system's; the rest are named by number alone).
my %messages = (
    '800a0005' => 'Invalid procedure call or argument',
    '800a000d' => 'Type mismatch',
    '800a01a8' => 'Object required',
    '800a01ad' => 'Automation server can\'t create object',
    '800a01b6' => 'Object doesn\'t support this property or method',
    '800a01c2' => 'Wrong number of arguments or invalid property assignment',
    '800a03ea' => 'Syntax error',
    '800a03eb' => 'Expected \':\'',
    '800a03ec' => 'Expected \';\'',
    '800a03ed' => 'Expected \'(\'',
    '800a03ee' => 'Expected \')\'',
    '800a03ef' => 'Expected \']\'',
    '800a03f0' => 'Expected \'{\'',
    '800a03f1' => 'Expected \'}\'',
    '800a03f2' => 'Expected identifier',
    '800a03f3' => 'Expected \'=\'',
    '800a03f6' => 'Unterminated string constant',
    '800a03f7' => 'Unterminated comment',
    '800a138a' => 'Function expected',
    '800a138f' => 'Object expected',
    '800a1391' => 'Undefined identifier (a name that was never declared)',
    '800a139e' => 'Exception thrown and not caught',
    '80004005' => 'Unspecified error',
    '8007000e' => 'Out of memory',
    '80070005' => 'Permission denied',
    '80020005' => 'Type mismatch (DISP_E_TYPEMISMATCH)',
    '8002000e' => 'Invalid number of parameters (DISP_E_BADPARAMCOUNT)',
    '80020006' => 'Unknown name (DISP_E_UNKNOWNNAME)',
);

sub error {
    my ($log, $file, $name) = @_;
    my @lines = split /\n/, slurp($log);
    my ($reported) = grep { $lines[$_] =~ /:wscript:ActiveScriptSite_OnScriptError/ } 0 .. $#lines;
    return 3 unless defined $reported;
    # The file as the engine read it: ASCII, or the ANSI code page.
    my $source = decode('cp949', slurp($file));
    my $line_at = sub { 1 + (substr($source, 0, $_[0]) =~ tr/\n//) };
    my ($code, $line, $around, $in_line, $message);
    for my $i (0 .. $reported - 1) {
        local $_ = $lines[$i];
        if (/:(?:jscript|vbscript):leave_script ([0-9a-f]{8})/) {
            $code = $1;
        } elsif (/:jscript:script_parse parser failed around L"(.*?)"(?:\.\.\.)? in line L"(.*)"$/) {
            ($around, $in_line, $line, $message) = (unescape($1), unescape($2), undef, undef);
        } elsif (/:vbscript:parser_error L"(.*?)"(?:\.\.\.)?: "(.*)"$/) {
            ($around, $in_line, $line, $message) = (unescape($1), undef, undef, $2);
        } elsif (/:jscript:unwind_exception Exception [0-9a-f]{8} (.*) in:$/) {
            my $value = $1;
            ($around, $in_line, $line) = (undef, undef, undef);
            $message = $value =~ /\(message str\(L"(.*)"\)\)/ ? unescape($1)
                     : $value =~ /^str\(L"(.*)"\)$/ ? unescape($1) : undef;
        } elsif (/:jscript:print_backtrace 0\t.* line (\d+) char \d+/) {
            $line = $1;
        }
    }
    # A syntax error is told by the text from where the parser stopped (the rest of the script,
    # cut short) and, by JScript, the text of the line: find them in the file that cscript ran.
    if (!defined $line && defined $around && $around ne '') {
        my $offset = index($source, $around);
        $line = $line_at->($offset) if $offset >= 0;
    }
    if (defined $in_line && $in_line =~ /\S/) {
        my @source = split /\n/, $source, -1;
        (my $wanted = $in_line) =~ s/^\s+|\s+$//g;
        my @matches = grep { (my $t = $source[$_]) =~ s/^\s+|\s+$//g; $t eq $wanted } 0 .. $#source;
        my ($after) = grep { !defined $line || $_ + 1 >= $line } @matches;
        $after //= $matches[0];
        $line = $after + 1 if defined $after;
    }
    my $thrown = defined $message && $message ne '';
    my $text = $thrown ? $message
             : defined $code && $messages{$code} ? $messages{$code}
             : 'the script stopped with an error that the script engine does not describe';
    $text .= " (0x\U$code\E)" if defined $code && !($thrown && $code eq '80004005');
    if (defined $code && $code eq '80070005') {
        $text .= ': Quillmark\'s site lock refused the call. Outside a browser, create the objects'
            . ' with WScript.CreateObject (README, "Which pages may drive Quillmark")';
    }
    binmode STDOUT, ':encoding(UTF-8)';
    print defined $line ? "$name:$line: $text\n" : "$name: $text\n";
    # The line as the script's author wrote it.
    if (defined $line && -f $name) {
        my $original = eval { script_text(slurp($name)) } // decode('cp949', slurp($name));
        my $shown = (split /\r?\n/, $original, -1)[$line - 1];
        if (defined $shown && $shown =~ /\S/) {
            $shown =~ s/^\s+|\s+$//g;
            print "    $shown\n";
        }
    }
    return 0;
}

my $mode = shift // '';
if ($mode eq 'text' && @ARGV == 2) {
    exit convert(@ARGV);
} elsif ($mode eq 'error' && @ARGV == 3) {
    exit error(@ARGV);
}
print STDERR "usage: script-host.pl text FILE OUT | error LOG FILE NAME\n";
exit 2;
