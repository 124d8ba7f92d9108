// A stable least-significant-digit radix sort for the large arrays of
// landmarks and hits a query makes, where it takes a fraction of a
// comparison sort's time.
//
// Header-only; pure; thread-compatible.

#ifndef PLIM_PLATFORM_FINGERPRINT_RADIX_SORT_H_
#define PLIM_PLATFORM_FINGERPRINT_RADIX_SORT_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace plim::fingerprint {

// Sorts `items` stably by the low `key_bits` bits of `key(item)` (a
// std::uint64_t), kDigitBits bits a pass. A pass whose digit every item
// shares is skipped, so keys that are mostly small cost few passes.
template <int kDigitBits, typename T, typename Key>
void RadixSortBy(std::vector<T>& items, int key_bits, Key key) {
  static_assert(kDigitBits > 0 && kDigitBits <= 24, "a count per digit value");
  constexpr std::size_t kDigits = std::size_t{1} << kDigitBits;
  if (items.size() < 2) return;
  std::vector<T> scratch(items.size());
  std::vector<std::size_t> counts(kDigits);
  for (int shift = 0; shift < key_bits; shift += kDigitBits) {
    auto digit = [&key, shift](const T& item) {
      return static_cast<std::size_t>(static_cast<std::uint64_t>(key(item)) >> shift) &
             (kDigits - 1);
    };
    std::fill(counts.begin(), counts.end(), 0);
    for (const T& item : items) ++counts[digit(item)];
    if (counts[digit(items.front())] == items.size()) continue;
    std::size_t total = 0;
    for (std::size_t& count : counts) total += std::exchange(count, total);
    for (const T& item : items) scratch[counts[digit(item)]++] = item;
    items.swap(scratch);
  }
}

}  // namespace plim::fingerprint

#endif  // PLIM_PLATFORM_FINGERPRINT_RADIX_SORT_H_
