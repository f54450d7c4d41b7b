#include "foundation/ut.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <vector>

#include "foundation/bi.h"
#include "foundation/os.h"

char ut_dbg[1024];

// ------------------------------------------------------- recovery scopes --
namespace {
struct ResetEntry {
  void* address;
  std::vector<uint8_t> saved;
};

struct ScopeState {
  std::vector<ResetEntry> resets[kComMaxScopes + 1];
  std::vector<ReleaseFn> stages[5];
};
ScopeState& ss() {
  static ScopeState s;
  return s;
}

int rank(int code) {
  switch (code) {
    case 37: return 5;
    case 4: return 4;
    case 3: return 3;
    case 24: return 2;
    case 25: return 1;
    default: return 0;
  }
}

void run_resets(int depth) {
  auto& list = ss().resets[depth];
  // Newest first, so the oldest saved value is the one left in place.
  for (auto it = list.rbegin(); it != list.rend(); ++it)
    std::memcpy(it->address, it->saved.data(), it->saved.size());
  list.clear();
  com.scopes[depth - 1].reset_count = 0;
}

// Runs one release step; an unwind raised by it is merged into the code
// and the remaining steps still run.
template <class F>
void guarded(int& code, bool& unwound, F&& f) {
  try {
    f();
  } catch (const ScopeUnwind& u) {
    code = unwound ? ut_merge_code(code, u.code) : u.code;
    unwound = true;
  }
}
}  // namespace

int ut_merge_code(int a, int b) { return rank(b) > rank(a) ? b : a; }

void ut_on_release(Release stage, ReleaseFn fn) {
  auto& v = ss().stages[int(stage)];
  if (std::find(v.begin(), v.end(), fn) == v.end()) v.push_back(fn);
}

void ut_unwind(int code) { throw ScopeUnwind{code, 0}; }
void ut_unwind_to(int depth, int code) { throw ScopeUnwind{code, depth}; }

int MARK(int type, MarkFn fn, void* arg, CleanupFn cleanup) {
  int depth = com.depth + 1;
  if (depth > kComMaxScopes) {
    std::snprintf(ut_dbg, sizeof ut_dbg, "MARK() - recovery scopes nested too deep (%d)", depth);
    os_sys_err("UT", __LINE__);
    return 3;
  }
  ComScope& sc = com.scopes[depth - 1];
  sc.saved_proc = com.proc_scope;
  sc.saved_sub = com.subproc_scope;
  sc.saved_evt = com.evt_scope;
  sc.type = uint8_t(type);
  sc.active = 1;
  sc.reset_count = 0;
  com.depth = uint16_t(depth);
  switch (type) {
    case 1: com.proc_scope = uint16_t(depth); com.subproc_scope = uint16_t(depth); break;
    case 4: com.subproc_scope = uint16_t(depth); break;
    case 6: com.proc_scope = com.evt_scope; break;
    default: break;
  }

  int code = 1;
  bool unwound = false;
  ScopeUnwind pass{0, 0};  // an unwind aimed at an outer scope
  bool passing = false;
  try {
    fn(arg);
  } catch (const ScopeUnwind& u) {
    unwound = true;
    code = u.code;
    if (u.depth != 0 && u.depth < depth) {
      passing = true;
      pass = u;
    }
  }

  if (cleanup) guarded(code, unwound, [&] { cleanup(depth); });
  guarded(code, unwound, [&] { run_resets(depth); });
  // Every stage's hooks, the reset stage's right after the reset entries.
  for (int st = 0; st < 5; ++st)
    for (ReleaseFn f : ss().stages[st]) guarded(code, unwound, [&] { f(depth); });
  guarded(code, unwound, [&] { mm_release_scope(depth); });

  com.proc_scope = sc.saved_proc;
  com.subproc_scope = sc.saved_sub;
  com.evt_scope = sc.saved_evt;
  sc.active = 0;
  com.depth = uint16_t(depth - 1);

  if (passing) throw ScopeUnwind{ut_merge_code(pass.code, code), pass.depth};
  return unwound ? code : 1;
}

void ut_cleanup(int depth) { (void)depth; }

void ut_add_reset(int scope, void* address, const void* value, size_t size) {
  if (scope < 1 || scope > com.depth || !address || !value) {
    std::snprintf(ut_dbg, sizeof ut_dbg, "ut_add_reset() - bad scope %d", scope);
    os_sys_err("UT", __LINE__);
    return;
  }
  ResetEntry e{address, std::vector<uint8_t>(size)};
  std::memcpy(e.saved.data(), value, size);
  ss().resets[scope].push_back(std::move(e));
  com.scopes[scope - 1].reset_count = uint32_t(ss().resets[scope].size());
}

// --------------------------------------------------------------- texts --
size_t ut_buflen(const void* text, size_t width) {
  auto* t = static_cast<const char*>(text);
  // Eight bytes at a time from the end while they are blanks.
  for (uint64_t w; width >= 8; width -= 8) {
    std::memcpy(&w, t + width - 8, 8);
    if (w != 0x2020202020202020ULL) break;
  }
  while (width > 0 && t[width - 1] == ' ') --width;
  return width;
}

bool ut_is_all(const void* text, int ch, size_t length) {
  auto* t = static_cast<const uint8_t*>(text);
  for (size_t i = 0; i < length; ++i)
    if (t[i] != uint8_t(ch)) return false;
  return true;
}

void ut_cpy_fill(void* target, const char* source, size_t width) {
  auto* t = static_cast<char*>(target);
  size_t n = 0;
  if (source)
    while (n < width && source[n]) ++n;
  if (n) std::memmove(t, source, n);
  std::memset(t + n, ' ', width - n);
}

void ut_center(void* target, size_t width, const void* text, size_t length) {
  auto* t = static_cast<char*>(target);
  std::memset(t, ' ', width);
  if (length > width) length = width;
  std::memcpy(t + (width - length) / 2, text, length);
}

size_t ut_cpy_case(int mode, void* target, size_t tlen, const void* source, size_t slen) {
  auto* t = static_cast<char*>(target);
  auto* s = static_cast<const unsigned char*>(source);
  size_t n = std::min(tlen, slen);
  bool word_start = true;
  for (size_t i = 0; i < n; ++i) {
    int c = s[i];
    switch (mode) {
      case 'U': c = std::toupper(c); break;
      case 'L': c = std::tolower(c); break;
      default:  // 'C': first letter of each word upper, the rest lower
        c = word_start ? std::toupper(c) : std::tolower(c);
        word_start = !std::isalnum(s[i]);
        break;
    }
    t[i] = char(c);
  }
  std::memset(t + n, ' ', tlen - n);
  return n;
}

void SET_BLANK(void* address, size_t length) { std::memset(address, ' ', length); }

uint64_t ut_hash(const void* bytes, size_t n, uint64_t seed) {
  const auto* b = static_cast<const uint8_t*>(bytes);
  uint64_t h = (seed ^ 0x9E3779B97F4A7C15ull) + n;
  auto mix = [&](uint64_t w) {
    h = (h ^ w) * 0xBF58476D1CE4E5B9ull;
    h ^= h >> 31;
  };
  for (; n >= 8; n -= 8, b += 8) {
    uint64_t w;
    std::memcpy(&w, b, 8);
    mix(w);
  }
  if (n) {
    uint64_t w = 0;
    for (size_t i = 0; i < n; ++i) w |= uint64_t(b[i]) << (8 * i);
    mix(w);
  }
  h *= 0x94D049BB133111EBull;
  return h ^ (h >> 29);
}

// ---------------------------------------------------------------- lists --
namespace {
UtLink* link_of(void* element, size_t link_off) {
  return reinterpret_cast<UtLink*>(static_cast<uint8_t*>(element) + link_off);
}
bool list_args_ok(UtList* list, void* element, UtLink* link, const char* fn) {
  auto* e = static_cast<uint8_t*>(element);
  auto* l = reinterpret_cast<uint8_t*>(link);
  if (list && element && link && l >= e) return true;
  std::snprintf(ut_dbg, sizeof ut_dbg, "%s - missing %s", fn, !list ? "list" : !element ? "element" : "link");
  os_sys_err("UT", __LINE__);
  return false;
}
}  // namespace

void ut_add_to_lst(UtList* list, void* element, UtLink* link) {
  if (!list_args_ok(list, element, link, "ut_add_to_lst()")) return;
  size_t off = size_t(reinterpret_cast<uint8_t*>(link) - static_cast<uint8_t*>(element));
  void* last = list->last.get();
  link->next.reset();
  link->prev.set(last);
  if (last) link_of(last, off)->next.set(element);
  else list->first.set(element);
  list->last.set(element);
}

void ut_remove_from_lst(UtList* list, void* element, UtLink* link) {
  if (!list_args_ok(list, element, link, "ut_remove_from_lst()")) return;
  size_t off = size_t(reinterpret_cast<uint8_t*>(link) - static_cast<uint8_t*>(element));
  void* prev = link->prev.get();
  void* next = link->next.get();
  if (prev) link_of(prev, off)->next.set(next);
  else if (list->first.get() == element) list->first.set(next);
  if (next) link_of(next, off)->prev.set(prev);
  else if (list->last.get() == element) list->last.set(prev);
  link->prev.reset();
  link->next.reset();
}

// ------------------------------------------------------- work buffers --
int ut_chk_buf(UtBuf* buf, size_t size) {
  if (buf->size >= size && buf->data) return 1;
  size_t want = std::max<size_t>(size, size_t(buf->size) * 2);
  auto* p = static_cast<uint8_t*>(mm_dbg_alloc(buf->pool, want, __FILE__, __LINE__));
  if (!p) return 0;
  if (buf->data) {
    std::memcpy(p, buf->data.get(), buf->size);
    mm_free(buf->data.get());
  }
  buf->data.set(p);
  buf->size = uint32_t(want);
  return 1;
}

// ----------------------------------------------------------- rectangles --
int ut_subdiv(const UtRect& a, const UtRect& b, UtSubdiv* out) {
  out->count = 0;
  int r1 = std::max(a.row, b.row), r2 = std::min(a.last_row, b.last_row);
  int c1 = std::max(a.col, b.col), c2 = std::min(a.last_col, b.last_col);
  if (r1 > r2 || c1 > c2) {
    out->parts[out->count++] = a;
    out->inter = UtRect{0, 0, -1, -1};
    return 0;
  }
  out->inter = UtRect{r1, c1, r2, c2};
  // Full-width bands above and below, then the sides of the middle band.
  if (a.row < r1) out->parts[out->count++] = UtRect{a.row, a.col, r1 - 1, a.last_col};
  if (a.last_row > r2) out->parts[out->count++] = UtRect{r2 + 1, a.col, a.last_row, a.last_col};
  if (a.col < c1) out->parts[out->count++] = UtRect{r1, a.col, r2, c1 - 1};
  if (a.last_col > c2) out->parts[out->count++] = UtRect{r1, c2 + 1, r2, a.last_col};
  return 1;
}

// --------------------------------------------------------------- codes --
int ut_xlate_secr(const char* code) {
  if (!code || ut_is_all(code, ' ', 4)) return -1;
  int v = 0;
  for (int i = 0; i < 4; ++i)
    if (code[i] >= '0' && code[i] <= '9') v = v * 10 + (code[i] - '0');
  return v;
}

bool IS_ZUB_AP(const char* app) {
  static const char* const zub[] = {"0AD", "0SU", "0DF", "0SA", "0DB", "SQL", "1LT", "0RG", "0LA"};
  for (const char* z : zub)
    if (std::memcmp(app, z, 3) == 0) return true;
  return false;
}

bool ut_path_within(std::string_view path, std::string_view dir) {
  while (dir.size() > 1 && dir.back() == '/') dir.remove_suffix(1);
  if (dir == "/") return !path.empty() && path[0] == '/';
  return path.substr(0, dir.size()) == dir && (path.size() == dir.size() || path[dir.size()] == '/');
}
