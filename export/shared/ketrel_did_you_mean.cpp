#include "export/shared/ketrel_did_you_mean.h"

#include <algorithm>

namespace ketrel {
namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

size_t EditDistance(std::string_view a, std::string_view b) {
  // Three rows of the table are enough: a swap looks two rows back.
  std::vector<size_t> before(b.size() + 1), previous(b.size() + 1), current(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) previous[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    current[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const bool same = Lower(a[i - 1]) == Lower(b[j - 1]);
      current[j] =
          std::min({previous[j] + 1, current[j - 1] + 1, previous[j - 1] + (same ? 0 : 1)});
      if (i > 1 && j > 1 && Lower(a[i - 1]) == Lower(b[j - 2]) &&
          Lower(a[i - 2]) == Lower(b[j - 1])) {
        current[j] = std::min(current[j], before[j - 2] + 1);
      }
    }
    std::swap(before, previous);
    std::swap(previous, current);
  }
  return previous[b.size()];
}

std::string_view ClosestName(std::string_view word,
                             const std::vector<std::string_view>& candidates) {
  // About one letter in three: one in a short word, two in "sceham"; never
  // more than four, so that a long label does not suggest another word.
  const size_t allowed = std::clamp<size_t>(word.size() / 3, 1, 4);
  std::string_view best;
  size_t bestDistance = allowed + 1;
  for (std::string_view candidate : candidates) {
    const size_t distance = EditDistance(word, candidate);
    if (distance < bestDistance) {
      best = candidate;
      bestDistance = distance;
    }
  }
  return best;
}

std::string DidYouMean(std::string_view word, const std::vector<std::string_view>& candidates) {
  std::string_view near = ClosestName(word, candidates);
  if (near.empty()) return std::string();
  return "; did you mean \"" + std::string(near) + "\"?";
}

}  // namespace ketrel
