#include "rt/ketrel_huffman.h"

#include <algorithm>

namespace ketrel {

int BuildHuffmanLengths(const uint32_t* frequencies, int count, uint8_t* lengths) {
  // Leaves sorted by frequency (ties by symbol, so the result is
  // deterministic), merged with the two-queue method.
  int order[256];
  int used = 0;
  for (int s = 0; s < count; ++s) {
    lengths[s] = 0;
    if (frequencies[s] != 0) order[used++] = s;
  }
  if (used == 0) return 0;
  if (used == 1) {
    lengths[order[0]] = 1;
    return 1;
  }
  std::sort(order, order + used, [&](int a, int b) {
    return frequencies[a] != frequencies[b] ? frequencies[a] < frequencies[b] : a < b;
  });
  // Nodes 0..used-1 are the leaves in order, used.. the internal nodes.
  uint64_t weight[512];
  int parent[512];
  for (int i = 0; i < used; ++i) weight[i] = frequencies[order[i]];
  int leaf = 0, inner = used, next = used;
  auto take = [&]() {
    if (leaf < used && (inner >= next || weight[leaf] <= weight[inner])) return leaf++;
    return inner++;
  };
  while (next < 2 * used - 1) {
    int a = take();
    int b = take();
    weight[next] = weight[a] + weight[b];
    parent[a] = parent[b] = next;
    ++next;
  }
  int depth[512];
  depth[2 * used - 2] = 0;
  for (int i = 2 * used - 3; i >= 0; --i) depth[i] = depth[parent[i]] + 1;

  // Limit the lengths: clamp, then lengthen the rarest short codes until the
  // Kraft sum fits again.
  const int limit = kHuffmanMaxLength;
  uint32_t kraft = 0;  // in units of 2^-limit
  for (int i = 0; i < used; ++i) {
    int d = std::min(depth[i], limit);
    lengths[order[i]] = static_cast<uint8_t>(d);
    kraft += 1u << (limit - d);
  }
  while (kraft > (1u << limit)) {
    for (int i = 0; i < used; ++i) {
      uint8_t& len = lengths[order[i]];
      if (len < limit) {
        kraft -= 1u << (limit - len - 1);
        ++len;
        break;
      }
    }
  }
  return used;
}

namespace {

uint32_t ReverseBits16(uint32_t v) {
  v = ((v >> 1) & 0x5555u) | ((v & 0x5555u) << 1);
  v = ((v >> 2) & 0x3333u) | ((v & 0x3333u) << 2);
  v = ((v >> 4) & 0x0F0Fu) | ((v & 0x0F0Fu) << 4);
  return ((v >> 8) & 0x00FFu) | ((v & 0x00FFu) << 8);
}

}  // namespace

void BuildHuffmanCodes(const uint8_t* lengths, int count, uint16_t* codes) {
  int lengthCount[kHuffmanMaxLength + 1] = {};
  for (int s = 0; s < count; ++s) lengthCount[lengths[s]]++;
  lengthCount[0] = 0;
  uint32_t nextCode[kHuffmanMaxLength + 2] = {};
  uint32_t code = 0;
  for (int len = 1; len <= kHuffmanMaxLength; ++len) {
    code = (code + lengthCount[len - 1]) << 1;
    nextCode[len] = code;
  }
  for (int s = 0; s < count; ++s) {
    int len = lengths[s];
    codes[s] = 0;
    if (len == 0) continue;
    uint32_t c = nextCode[len]++;
    codes[s] = static_cast<uint16_t>(ReverseBits16(c) >> (16 - len));
  }
}

size_t WriteHuffmanLengths(const uint8_t* lengths, int count, uint8_t* out, size_t capacity) {
  size_t nibbles = 0;
  auto put = [&](uint8_t nibble) {
    size_t byte = nibbles / 2;
    if (byte >= capacity) return false;
    if (nibbles % 2 == 0) {
      out[byte] = nibble;
    } else {
      out[byte] = static_cast<uint8_t>(out[byte] | (nibble << 4));
    }
    ++nibbles;
    return true;
  };
  for (int s = 0; s < count;) {
    if (lengths[s] != 0) {
      if (!put(lengths[s])) return 0;
      ++s;
      continue;
    }
    int run = 1;
    while (s + run < count && run < 16 && lengths[s + run] == 0) ++run;
    if (!put(0) || !put(static_cast<uint8_t>(run - 1))) return 0;
    s += run;
  }
  return (nibbles + 1) / 2;
}

bool ReadHuffmanLengths(const uint8_t* in, size_t size, int count, uint8_t* lengths,
                        size_t* outConsumed) {
  size_t nibbles = 0;
  auto get = [&](uint8_t* nibble) {
    size_t byte = nibbles / 2;
    if (byte >= size) return false;
    *nibble = (nibbles % 2 == 0) ? (in[byte] & 15) : (in[byte] >> 4);
    ++nibbles;
    return true;
  };
  for (int s = 0; s < count;) {
    uint8_t nibble;
    if (!get(&nibble)) return false;
    if (nibble != 0) {
      if (nibble > kHuffmanMaxLength) return false;
      lengths[s++] = nibble;
      continue;
    }
    uint8_t run;
    if (!get(&run)) return false;
    if (s + run + 1 > count) return false;
    for (int i = 0; i <= run; ++i) lengths[s++] = 0;
  }
  *outConsumed = (nibbles + 1) / 2;
  return true;
}

bool BuildHuffmanDecodeTable(const uint8_t* lengths, int count, huffman_entry* table) {
  uint32_t kraft = 0;
  for (int s = 0; s < count; ++s) {
    if (lengths[s] == 0) continue;
    if (lengths[s] > kHuffmanMaxLength) return false;
    kraft += 1u << (kHuffmanMaxLength - lengths[s]);
  }
  // An over-subscribed code would make two symbols share a pattern.
  if (kraft == 0 || kraft > (1u << kHuffmanMaxLength)) return false;
  // A complete code fills every entry below; only gaps need marking.
  if (kraft < (1u << kHuffmanMaxLength)) {
    std::fill(table, table + kHuffmanTableSize, huffman_entry{0, 0});
  }
  uint16_t codes[256];
  BuildHuffmanCodes(lengths, count, codes);
  for (int s = 0; s < count; ++s) {
    int len = lengths[s];
    if (len == 0) continue;
    huffman_entry entry{static_cast<uint8_t>(s), static_cast<uint8_t>(len)};
    for (size_t i = codes[s]; i < kHuffmanTableSize; i += size_t{1} << len) table[i] = entry;
  }
  return true;
}

}  // namespace ketrel
