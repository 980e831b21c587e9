#pragma once
// "Did you mean": the known name nearest to a mistyped one, for the messages
// that refuse unknown setting labels, commands and document keys.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace ketrel {

// The number of single-letter insertions, deletions, substitutions and
// swaps of neighbours that turn `a` into `b`, letters compared without case
// ("expotr" to "Export" is 1).
size_t EditDistance(std::string_view a, std::string_view b);

// The candidate nearest to `word` when it is near enough to be what was
// meant (about one letter in three wrong at most), else empty. Ties go to
// the earlier candidate.
std::string_view ClosestName(std::string_view word,
                             const std::vector<std::string_view>& candidates);

// "; did you mean \"NAME\"?" for the closest candidate, or "" when none is
// close: appended to an "unknown ..." message.
std::string DidYouMean(std::string_view word, const std::vector<std::string_view>& candidates);

}  // namespace ketrel
