// Recovery scopes and general utilities.
//
// Recovery scopes. MARK(type, fn, arg, cleanup) pushes a scope, runs fn(arg)
// and returns 1 when it returns, or the completion code of the unwind that
// ended it. A non-local exit is a C++ exception of type ScopeUnwind carrying
// the code (ut_unwind), caught by the innermost MARK, or by the MARK of a given
// depth (ut_unwind_to). Whether the scope ends normally or not, MARK then calls
// cleanup(depth) and releases the scope's resources in this fixed order:
// reset list, windows, query state, files, pools; then it restores the saved
// scope numbers and pops. Subsystems hook their release into the stages with
// ut_on_release, so the order holds whatever is built.
//
// Scope types: 1 new process family (process and sub-process scope := depth),
// 4 sub-process (sub-process scope := depth), 6 event point (process scope :=
// the event-point scope), 0 and 5 change neither.
//
// Completion codes: 1 normal, 2 end, 3 cancel, 4 cancel after an error, 5 frame
// done, 19 caller replaced, 24/25 logout, 37 unrecoverable signal. When two are
// merged, 37 wins over 4, 4 over 3, 3 over 24, 24 over 25, and any of these
// over a code outside that list (ut_merge_code).
//
// List argument order: ut_add_to_lst(list, element, link) and
// ut_remove_from_lst(list, element, link), list first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "foundation/mm.h"
#include "foundation/record.h"

extern char ut_dbg[1024];

// ------------------------------------------------------- recovery scopes --
struct ScopeUnwind {
  int code;   // completion code carried to the scope
  int depth;  // target scope depth; 0 = the innermost
};

enum class CompletionCode : int {
  Normal = 1, End = 2, Cancel = 3, CancelError = 4, FrameDone = 5, Replaced = 19,
  Logout = 24, Logout2 = 25, Signal = 37,
};

using MarkFn = void (*)(void* arg);
using CleanupFn = void (*)(int depth);

int MARK(int type, MarkFn fn, void* arg, CleanupFn cleanup);

// Runs any callable inside a scope.
template <class F>
int mark(int type, F&& f, CleanupFn cleanup = nullptr) {
  return MARK(type, [](void* p) { (*static_cast<F*>(p))(); }, &f, cleanup);
}

[[noreturn]] void ut_unwind(int code);
[[noreturn]] void ut_unwind_to(int depth, int code);
int ut_merge_code(int a, int b);
// The clean-up function of the process runner and the file statements.
void ut_cleanup(int depth);

// Release stages of a scope, run in this order after the caller's clean-up.
enum class Release { Reset = 0, Windows = 1, Query = 2, Files = 3, Pools = 4 };
using ReleaseFn = void (*)(int depth);
// Registers fn to run at the given stage when any scope ends.
void ut_on_release(Release stage, ReleaseFn fn);

// Registers bytes to be stored back when the scope of that depth ends: the
// bytes at address become a copy of value (size bytes, copied now).
void ut_add_reset(int scope, void* address, const void* value, size_t size);

// --------------------------------------------------------------- texts --
size_t ut_buflen(const void* text, size_t width);
bool ut_is_all(const void* text, int ch, size_t length);
// Copies the zero-terminated source into width bytes, blank filling.
void ut_cpy_fill(void* target, const char* source, size_t width);
// Centres text in a blank field of width: it starts at (width - length) / 2.
void ut_center(void* target, size_t width, const void* text, size_t length);
// Copies in a case: 'C' (67) capitalised words, 'U' upper, 'L' lower; the
// rest of the target is blank filled. Returns the copied length.
size_t ut_cpy_case(int mode, void* target, size_t tlen, const void* source, size_t slen);
void SET_BLANK(void* address, size_t length);
// A hash of n bytes for the engine's in-memory tables (short keys: names,
// constants), eight bytes a step; seed starts another hash or goes on with
// one. Not stored anywhere: it may change between builds.
uint64_t ut_hash(const void* bytes, size_t n, uint64_t seed = 0);

// ---------------------------------------------------------------- lists --
// An intrusive two-way list: the head holds first and last, each element's
// link (inside the element) holds previous and next. All are arena blocks.
struct UtLink {
  Ref<void> prev;
  Ref<void> next;
};
QV_RECORD(UtLink, 8);
QV_AT(UtLink, next, 4);
struct UtList {
  Ref<void> first;
  Ref<void> last;
};
QV_RECORD(UtList, 8);
QV_AT(UtList, last, 4);
void ut_add_to_lst(UtList* list, void* element, UtLink* link);
void ut_remove_from_lst(UtList* list, void* element, UtLink* link);

// ------------------------------------------------------- work buffers --
struct UtBuf {
  rec::U32 pool;
  rec::U32 size;
  Ref<uint8_t> data;
};
QV_RECORD(UtBuf, 12);
QV_AT(UtBuf, data, 8);
// Grows the buffer to at least size bytes (contents kept); 1 or 0.
int ut_chk_buf(UtBuf* buf, size_t size);

// ----------------------------------------------------------- rectangles --
struct UtRect {
  int row, col;        // first cell
  int last_row, last_col;  // last cell
};
struct UtSubdiv {
  int count;           // parts of the first rectangle outside the second
  UtRect parts[4];
  UtRect inter;        // the intersection, when they overlap
};
int ut_subdiv(const UtRect& a, const UtRect& b, UtSubdiv* out);

// --------------------------------------------------------------- codes --
// The number of a four-character security code (its digits, others
// skipped), -1 for a blank code.
int ut_xlate_secr(const char* code);

// Data type classes and the system applications.
inline bool IS_ELEM_ALP(int t) { return t == 1 || t == 2 || t == 13; }
inline bool IS_ELEM_DATE(int t) { return t == 3 || t == 4 || t == 6 || t == 7 || t == 9 || t == 10 || t == 15; }
inline bool IS_ELEM_NUM(int t) { return t == 5 || t == 8 || t == 12; }
bool IS_ZUB_AP(const char* app);

// Truth mask: five levels of two bits, level 1 in bits 8-9 .. level 5 in bits
// 0-1; 1 true, 2 false, 3 unset. Sets the level and unsets the deeper ones.
inline void SET_TF(int result, int level, uint32_t& mask) {
  if (level < 1 || level > 5) return;
  int shift = 2 * (5 - level);
  uint32_t deeper = (1u << shift) - 1;  // bits of the deeper levels
  mask = (mask & ~(3u << shift) & ~deeper) | (uint32_t(result & 3) << shift) | deeper;
}
// Advances an instruction pointer by a length rounded up to 4.
template <class State>
inline void PC_ADJUST(size_t length, State& state) {
  state.pc += (length + 3) & ~size_t(3);
}

// Whether an absolute path names the directory dir or lies below it. dir may
// end in '/'; "/" holds every absolute path.
bool ut_path_within(std::string_view path, std::string_view dir);
