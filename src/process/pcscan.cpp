// The scan lists of the compiled images: what each image's SCAN statements
// named, kept beside the module (a module is not saved with them).
#include <map>
#include <utility>

#include "process/pc.h"

namespace {
using Key = std::pair<const EmHeader*, uint32_t>;
std::map<Key, std::vector<std::array<uint8_t, 64>>>& lists() {
  static std::map<Key, std::vector<std::array<uint8_t, 64>>> m;
  return m;
}
}  // namespace

void pc_add_scan(const EmHeader* em, const EmCimg* image, const uint8_t* ops) {
  if (!em || !image || !ops) return;
  std::array<uint8_t, 64> b;
  std::memcpy(b.data(), ops, b.size());
  lists()[{em, image->seq.get()}].push_back(b);
}

std::vector<std::array<uint8_t, 64>> pc_scan_list(const EmHeader* em, uint32_t image_seq) {
  auto it = lists().find({em, image_seq});
  return it == lists().end() ? std::vector<std::array<uint8_t, 64>>{} : it->second;
}

void pc_scan_forget(const EmHeader* em) {
  auto& m = lists();
  m.erase(m.lower_bound({em, 0u}), m.upper_bound({em, 0xFFFFFFFFu}));
}
