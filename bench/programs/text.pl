# A Perl workload: text generated, split into words, counted in a hash, rewritten with regular
# expressions, sorted and joined. The argument scales it (the number of lines).
use strict;
use warnings;

my $lines = shift // 100000;
my @syllables = qw(lo rem ip sum do lor sit am et con sec tet ur adi pis cing el it sed eius mod);
srand(7);
my (%count, @kept);
for my $n (1 .. $lines) {
    my @words = map { join '', map { $syllables[rand @syllables] } 1 .. 1 + int(rand 4) } 1 .. 12;
    my $line = join ' ', @words;
    $count{$_}++ for @words;
    (my $changed = $line) =~ s/\b(\w)(\w*)\b/\u$1$2/g;
    push @kept, $changed if $n % 3 == 0;
}
my @ranked = sort { $count{$b} <=> $count{$a} || $a cmp $b } keys %count;
my %by_first;
push @{ $by_first{ substr $_, 0, 1 } }, $_ for @ranked;
my $joined = join "\n", sort @kept;
printf "%d %d %d %d\n", scalar(@ranked), scalar(keys %by_first), length($joined), $count{$ranked[0]};
