#!/usr/bin/perl
# Doxygen input filter for the public headers.
#
# The headers are written in plain C comments, so that they read well as
# they stand; Doxygen only takes "/**" comments as documentation. This
# filter turns the headers' comments into documentation on the way in,
# without changing a header:
#   - the first comment of a file describes the file (@file);
#   - a comment behind code on its line documents that code ("/**<");
#   - a comment standing on its own lines and followed directly by code
#     documents that code; when the code is a run of several declarations
#     (up to the next blank line or comment), the run becomes a member
#     group whose members all share the comment (DISTRIBUTE_GROUP_DOC), so
#     a contract written once for kuv_xapi_x and kuv_mapi_x covers both;
#   - a comment followed by a blank line is a section heading and stays a
#     plain comment.
# Line numbers are kept (group markers go on existing lines where they can),
# so Doxygen's warnings point at the right lines of the real headers.
use strict;
use warnings;

local $/;
my $text = <>;
my @lines = split /\n/, $text, -1;

my $seen_code = 0;    # code before the current line
my $first_comment_done = 0;
my $i = 0;
my @out;

# Is this line the start of a declaration (something Doxygen documents)?
sub declaration_start {
    my ($line) = @_;
    return 0 if $line =~ /^\s*$/;
    return 0 if $line =~ m{^\s*/[*/]};
    return 0 if $line =~ /^\s*#\s*(if|ifdef|ifndef|else|elif|endif|include|undef)\b/;
    return 0 if $line =~ /^\s*KUV_(STATIC_ASSERT|EXTERN_C_BEGIN|EXTERN_C_END)\b/;
    return 0 if $line =~ /^\s*[})]/;
    # A continuation of the previous line's declaration starts with blanks
    # and no type; declarations in a struct body are indented too, so the
    # caller decides by the previous line's ending instead.
    return 1;
}

# A comment behind code on its line documents that code; preprocessor
# conditionals and include guards keep theirs as plain comments.
sub trailing {
    my ($line) = @_;
    return $line if $line =~ /^\s*#\s*(if|ifdef|ifndef|else|elif|endif)\b/;
    $line =~ s{^(\s*\S.*?)/\*(?![*!<])}{$1/**<} if $line !~ m{^\s*/\*};
    return $line;
}

while ($i < @lines) {
    my $line = $lines[$i];

    # Comment at the start of a line (possibly indented), not already a
    # documentation comment.
    if ($line =~ m{^(\s*)/\*(?![*!])(.*)$}) {
        my $indent = $1;
        my $start = $i;
        my $end = $i;
        $end++ while $end < @lines && $lines[$end] !~ m{\*/};
        last if $end >= @lines;    # unterminated: leave the rest alone
        # Text behind the comment's end on its last line means it is not a
        # standalone comment; leave such lines as they are.
        if ($lines[$end] =~ m{\*/\s*\S}) {
            push @out, @lines[$start .. $end];
            $i = $end + 1;
            next;
        }

        if (!$first_comment_done && !$seen_code) {
            $first_comment_done = 1;
            my @block = @lines[$start .. $end];
            # "@file" names the file with the rest of its line, so it goes
            # last, where nothing follows it but the comment's end.
            $block[0] =~ s{^(\s*)/\*}{$1/**};
            $block[-1] =~ s{\*/\s*$}{\@file */};
            push @out, @block;
            $i = $end + 1;
            next;
        }
        $first_comment_done = 1;

        # What follows the comment?
        my $next = $end + 1;
        if ($next >= @lines || $lines[$next] =~ /^\s*$/ || !declaration_start($lines[$next])) {
            push @out, @lines[$start .. $end];
            $i = $end + 1;
            next;
        }

        # The run of code after the comment: up to a blank line, a comment
        # on its own line, or a closing brace at a lower indentation.
        my $run_end = $next;
        my $declarations = 0;
        my $open_braces = 0;
        my $previous_ended = 1;
        for (my $j = $next; $j < @lines; $j++) {
            my $code = $lines[$j];
            last if $code =~ /^\s*$/;
            last if $code =~ m{^\s*/\*};
            last if $code =~ /^\s*KUV_(STATIC_ASSERT|EXTERN_C_END)\b/;
            last if $open_braces == 0 && $code =~ /^\s*}/;
            last if $code =~ /^\s*#\s*(if|ifdef|ifndef|else|elif|endif)\b/;
            $declarations++ if $previous_ended && $open_braces == 0;
            my $without_comment = $code;
            $without_comment =~ s{/\*.*?\*/}{}g;
            $without_comment =~ s{/\*.*$}{};
            $open_braces += () = $without_comment =~ /{/g;
            $open_braces -= () = $without_comment =~ /}/g;
            # A declaration ends with ";" (outside braces), a macro line
            # without a trailing backslash, or a closing "};"-style line.
            if ($code =~ /^\s*#/) {
                $previous_ended = ($code !~ /\\\s*$/);
            } else {
                $previous_ended = ($open_braces == 0 && $without_comment =~ /;\s*$/) ? 1 : 0;
            }
            $run_end = $j;
        }

        my @block = @lines[$start .. $end];
        $block[0] =~ s{^(\s*)/\*}{$1/**};
        if ($declarations > 1) {
            # Open the group on the comment's first line and close it on the
            # run's last line, so no line is added.
            $block[0] = $indent . '/**@{*/ ' . substr($block[0], length $indent);
            push @out, @block;
            push @out, map { trailing($_) } @lines[$next .. $run_end];
            # Doxygen's preprocessor takes the rest of a #define line as the
            # macro's body, so the group closes on the blank line that
            # follows the run; only where there is none is a line added.
            if ($run_end + 1 < @lines && $lines[$run_end + 1] =~ /^\s*$/) {
                $lines[$run_end + 1] = '/**@}*/';
            } elsif ($lines[$run_end] =~ /^\s*#/) {
                push @out, '/**@}*/';
            } else {
                $out[-1] .= ' /**@}*/';
            }
        } else {
            push @out, @block;
            push @out, map { trailing($_) } @lines[$next .. $run_end];
        }
        $seen_code = 1;
        $i = $run_end + 1;
        next;
    }

    $line = trailing($line);
    $seen_code = 1 if $line =~ /\S/ && $line !~ m{^\s*(/\*|\*)};
    push @out, $line;
    $i++;
}

print join("\n", @out);
