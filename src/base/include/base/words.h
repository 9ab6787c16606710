// Splitting a command line into words: the one rule for the library's
// spawning and launch and the Manager's restarts.
#pragma once

namespace kiv {

// Splits text in place at runs of spaces and tabs: words[0..n) point into
// it, each word NUL-ended, and words[n] is null (words holds max + 1).
// Returns n, at most max; what follows the max-th word stays unsplit.
int split_words(char* text, char** words, int max);

}  // namespace kiv
