// Page buffers: their lines and characteristic runs, the stack of buffers
// of a chain, merging a buffer into another and printing the page buffer.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "executors/rm.h"
#include "foundation/os.h"
#include "foundation/ut.h"

namespace {

constexpr const char* kMod = "RMBUF";

template <class T>
T* alloc(RmRpt* r, size_t n) {
  return static_cast<T*>(MM_ALLOC(r->pool, n * sizeof(T)));
}

void sys_err(int line, const char* text) { os_sys_err_text(kMod, line, text); }

// The page buffer of the current chain, and its newest buffer (the ring's
// last).
RmBuf* page_of(RmRpt* r) { return r->cur.get(); }


void free_lines(RmBuf* b) {
  Ref<RmLine>* lines = b->lines.get();
  for (uint32_t i = 0; lines && i < b->line_cap; ++i)
    if (lines[i]) {
      mm_free(lines[i].get());
      lines[i].reset();
    }
  b->run_count = 0;
}

void free_windows(RmRpt* r, RmBuf* b) {
  Ref<RmWnd>* w = b->wnds.get();
  for (uint32_t i = 0; w && i < b->wnd_count; ++i) {
    if (RmWnd* wnd = w[i].get()) rm_wnd_release(r, wnd);
    w[i].reset();
  }
  b->wnd_count = 0;
}

}  // namespace

RmBuf* rm_new_buf(RmRpt* r, int width) {
  auto* b = alloc<RmBuf>(r, 1);
  std::memset(static_cast<void*>(b), 0, sizeof *b);
  b->width = uint16_t(width);
  b->next_wnd = 1;
  b->depth = Ref<rec::U32>::of(alloc<rec::U32>(r, size_t(width) + 1));
  b->work = Ref<char>::of(alloc<char>(r, size_t(width) + 11));
  b->prev = Ref<RmBuf>::of(b);
  b->next = Ref<RmBuf>::of(b);
  return b;
}

RmBuf* rm_newest(RmRpt* r) {
  RmBuf* p = page_of(r);
  return p ? p->prev.get() : nullptr;
}

RmBuf* rm_buf(RmRpt* r, int id) {
  RmBuf* p = page_of(r);
  if (!p || id < 0) return nullptr;
  RmBuf* x = p;
  do {
    if (x->id == id) return x;
    x = x->next.get();
  } while (x != p);
  return nullptr;
}

void rm_use_heading(RmRpt* r, bool heading) { r->cur = heading ? r->head : r->body; }

int rm_start(RmRpt* r) {
  RmBuf* page = page_of(r);
  RmBuf* newest = page ? page->prev.get() : nullptr;
  RmBuf* b;
  if (newest && newest->spare) {
    b = newest->spare.get();
    newest->spare.reset();
  } else {
    b = rm_new_buf(r, r->width);
    if (!b) {
      r->status = kRmNoFile;
      return 0;
    }
  }
  if (!page) {  // the first buffer of a chain: its page buffer
    b->id = 0;
    b->prev = b->next = Ref<RmBuf>::of(b);
    r->cur = Ref<RmBuf>::of(b);
    return 1;
  }
  b->id = uint16_t(newest->id + 1);
  b->prev = Ref<RmBuf>::of(newest);
  b->next = Ref<RmBuf>::of(page);
  newest->next = Ref<RmBuf>::of(b);
  page->prev = Ref<RmBuf>::of(b);
  return 1;
}

RmLine* rm_line(RmRpt* r, RmBuf* b, uint32_t n, bool make) {
  if (n == 0) return nullptr;
  if (n > b->line_cap) {
    if (!make) return nullptr;
    uint32_t cap = std::max<uint32_t>(n, std::max<uint32_t>(32, b->line_cap * 2));
    auto* lines = alloc<Ref<RmLine>>(r, cap);
    std::memset(static_cast<void*>(lines), 0, cap * sizeof(Ref<RmLine>));
    if (b->lines) {
      std::memcpy(static_cast<void*>(lines), b->lines.get(), b->line_cap * sizeof(Ref<RmLine>));
      mm_free(b->lines.get());
    }
    b->lines = Ref<Ref<RmLine>>::of(lines);
    b->line_cap = cap;
  }
  Ref<RmLine>& slot = b->lines.get()[n - 1];
  if (!slot && make) {
    auto* l = static_cast<RmLine*>(MM_ALLOC(r->pool, sizeof(RmLine) + size_t(b->width) + 1));
    l->number = n;
    std::memset(rm_line_text(l), ' ', b->width);
    rm_line_text(l)[b->width] = 0;
    slot = Ref<RmLine>::of(l);
  }
  return slot.get();
}

int rm_add_run(RmRpt* r, RmBuf* b, const RmRun& run) {
  if (b->run_count >= b->run_cap) {
    uint32_t cap = std::max<uint32_t>(64, b->run_cap * 2);
    auto* runs = alloc<RmRun>(r, cap);
    if (b->runs) {
      std::memcpy(static_cast<void*>(runs), b->runs.get(), b->run_count * sizeof(RmRun));
      mm_free(b->runs.get());
    }
    b->runs = Ref<RmRun>::of(runs);
    b->run_cap = cap;
  }
  b->runs.get()[b->run_count] = run;
  b->run_count = b->run_count + 1;
  if (RmLine* l = rm_line(r, b, run.line, false)) l->runs = l->runs + 1;
  return 1;
}

uint32_t rm_depth(const RmBuf* b, int from, int to) {
  from = std::max(from, 1);
  to = std::min(to, int(b->width));
  uint32_t d = 0;
  const rec::U32* depth = b->depth.get();
  for (int c = from; c <= to; ++c) d = std::max(d, depth[c].get());
  return d;
}

void rm_reset_buf(RmRpt* r, RmBuf* b, bool windows) {
  free_lines(b);
  if (windows) free_windows(r, b);
  std::memset(static_cast<void*>(b->depth.get()), 0, (size_t(b->width) + 1) * 4);
  b->last = 0;
  b->pending = 0;
  b->printed = 0;
}

void rm_destroy_buf(RmRpt* r, RmBuf* b) {
  if (!b) return;
  if (b->spare) rm_destroy_buf(r, b->spare.get());
  rm_reset_buf(r, b, true);
  if (b->lines) mm_free(b->lines.get());
  if (b->runs) mm_free(b->runs.get());
  if (b->wnds) mm_free(b->wnds.get());
  mm_free(b->depth.get());
  mm_free(b->work.get());
  mm_free(b);
}

int merge_buf(RmRpt* r, RmBuf* src, RmBuf* tgt, int col, int line, bool windows) {
  if (col <= 0) {
    sys_err(__LINE__, "merge_buf() - invalid start_col");
    return 0;
  }
  int tw = tgt->width, sw = src->width;
  const rec::U32* sdepth = src->depth.get();
  for (uint32_t n = 1; n <= src->last; ++n) {
    RmLine* s = rm_line(r, src, n, false);
    if (!s) continue;
    uint32_t tn = n + uint32_t(line) - 1;
    RmLine* t = rm_line(r, tgt, tn, false);
    const char* st = rm_line_text(s);
    if (t) {
      t->printed = 0;
      t->group = s->group.get() ? 1 : 0;
      char* tt = rm_line_text(t);
      for (int c = 1; c <= sw && col + c - 1 <= tw; ++c)
        if (sdepth[c] >= n) tt[col + c - 2] = st[c - 1];
    } else {
      t = rm_line(r, tgt, tn, true);
      t->group = s->group;
      char* tt = rm_line_text(t);
      for (int c = 1; c <= sw && col + c - 1 <= tw; ++c) tt[col + c - 2] = st[c - 1];
    }
  }
  const RmRun* runs = src->runs.get();
  for (uint32_t i = 0; i < src->run_count; ++i) {
    RmRun run = runs[i];
    int start = run.start + col - 1;
    if (start > tw) continue;
    run.line = run.line + uint32_t(line) - 1;
    run.start = uint16_t(start);
    run.len = uint16_t(std::min(int(run.len), tw - start + 1));
    rm_add_run(r, tgt, run);
  }
  uint32_t bottom = uint32_t(line) + src->last - 1;
  rec::U32* tdepth = tgt->depth.get();
  for (int c = 1; c <= sw && col + c - 1 <= tw; ++c)
    if (sdepth[c] > 0) tdepth[col + c - 1] = bottom;
  if (src->last > 0) tgt->last = std::max(tgt->last.get(), bottom);
  rm_reset_buf(r, src, windows);
  return 1;
}

int rm_empty(RmRpt* r, int id, int flush_windows, int final) {
  RmBuf* page = page_of(r);
  RmBuf* newest = rm_newest(r);
  if (!page || id > int(newest->id)) {
    r->status = kRmBadBuf;
    return 0;
  }
  for (RmBuf* b = newest; b != page && b->id > id;) {
    RmBuf* p = b->prev.get();
    Ref<RmWnd>* w = b->wnds.get();
    for (uint32_t i = 0; w && i < b->wnd_count;) {
      RmWnd* wnd = w[i].get();
      if (wnd && wnd->kind == 1 && final) {
        rm_detach(r, b->id, wnd->id);  // the next window moves into slot i
        continue;
      }
      if (wnd && wnd->kind == 1)
        while (!rm_flush_reg(r, b, wnd)) {
        }
      ++i;
    }
    uint32_t offset = 0;
    if (b->last > 0) {
      const rec::U32* d = b->depth.get();
      int cols = std::min(b->width.get(), p->width.get());
      for (int c = 1; c <= cols; ++c)
        if (d[c] > 0) offset = std::max(offset, p->depth.get()[c].get());
    }
    if (p->last > 0) offset += b->pending;
    else p->pending = p->pending + b->pending;
    b->pending = 0;
    // A buffer holding nothing but blank lines after its last image: they
    // land below the deepest line of the buffer under it.
    if (!merge_buf(r, b, p, 1, int(offset) + 1, final != 0)) return 0;
    if (final) {
      // b leaves the chain and is kept as p's spare.
      page->prev = Ref<RmBuf>::of(p);
      p->next = Ref<RmBuf>::of(page);
      if (p->spare) rm_destroy_buf(r, p->spare.get());
      p->spare = Ref<RmBuf>::of(b);
    }
    b = p;
  }
  if (flush_windows) {
    RmBuf* t = rm_buf(r, id);
    Ref<RmWnd>* w = t ? t->wnds.get() : nullptr;
    for (uint32_t i = 0; w && i < t->wnd_count; ++i)
      if (RmWnd* wnd = w[i].get(); wnd && wnd->kind == 1)
        while (!rm_flush_reg(r, t, wnd)) {
        }
  }
  return 1;
}

namespace {

bool paged_body(RmRpt* r) { return r->page_len > 0 && r->cur == r->body; }

void count_lines(RmRpt* r, uint32_t n) {
  if (r->page_len > 0) r->lines_left = r->lines_left - int32_t(n);
  else r->lines_left = r->lines_left + int32_t(n);
}

int advance(RmRpt* r, uint32_t n) {
  PmReq q{};
  q.action = kPmAdvance;
  q.count = n;
  if (!pm_write(r->pc.get(), &q)) {
    sys_err(__LINE__, "print - pm_write failed");
    return 0;
  }
  count_lines(r, n);
  return 1;
}

// The last line of the group that starts at line n: the line before the next
// group start, or the buffer's last line.
uint32_t group_end(RmRpt* r, RmBuf* b, uint32_t n) {
  for (uint32_t k = n + 1; k <= b->last; ++k)
    if (RmLine* l = rm_line(r, b, k, false); l && l->group && !l->printed) return k - 1;
  return b->last;
}

// Room for n lines on the page (paged body chain only).
int32_t room(RmRpt* r) { return std::max<int32_t>(r->lines_left, 1); }

}  // namespace

int rm_print(RmRpt* r, int final, int position) {
  PmCtl* pc = r->pc.get();
  if (position < -1) {
    sys_err(__LINE__, "prt_buf - invalid line position");
    return 0;
  }
  if (position == -1) {
    PmReq q{};
    q.action = kPmNewPage;
    if (!pm_write(pc, &q)) {
      sys_err(__LINE__, "print - pm_write failed");
      return 0;
    }
    r->body_lines = 0;
  } else if (position > 0 && uint32_t(position) > pc->line) {
    PmReq q{};
    q.action = kPmGoto;
    q.count = uint32_t(position);
    if (!pm_write(pc, &q)) {
      sys_err(__LINE__, "print - pm_write failed");
      return 0;
    }
    if (r->page_len > 0) r->lines_left = int32_t(r->page_len) - position + 1;
  }
  if (!rm_empty(r, 0, 1, final)) {
    sys_err(__LINE__, "print - Failed to end buffers");
    return 0;
  }
  RmBuf* b = page_of(r);
  if (r->page_ended) {
    bool any = b->pending > 0;
    for (uint32_t n = b->printed + 1; !any && n <= b->last; ++n)
      if (RmLine* l = rm_line(r, b, n, false); l && !l->printed) any = true;
    if (any) {
      r->status = kRmNewPage;
      return 0;
    }
    // Nothing but blank lines after the page ended: they go with it.
    rm_reset_buf(r, b, false);
    return 1;
  }
  bool body = paged_body(r);
  // On a page where no body line has printed yet, what does not fit on a
  // whole page prints anyway, split over as many pages as it takes: blank
  // lines or a group taller than the page would otherwise ask for a new
  // page for ever.
  bool fresh = body && r->body_lines == 0;
  if (b->pending > 0) {
    uint32_t n = b->pending;
    if (body && int64_t(n) >= int64_t(r->lines_left)) {
      if (!fresh) {
        r->status = kRmFooting;
        return 0;
      }
      uint32_t part = std::min<uint32_t>(n, uint32_t(room(r)));
      if (!advance(r, part)) return 0;
      b->pending = n - part;
      r->body_lines = r->body_lines + 1;
      if (b->pending > 0) {
        r->status = kRmFooting;
        return 0;
      }
    } else {
      if (!advance(r, n)) return 0;
      b->pending = 0;
      if (body) r->body_lines = r->body_lines + 1;
    }
  }
  std::vector<PmRun> runs;
  const RmRun* all = b->runs.get();
  for (uint32_t n = b->printed + 1; n <= b->last; ++n) {
    RmLine* l = rm_line(r, b, n, false);
    if (!l || l->printed) continue;
    uint32_t adv = n - b->printed;
    if (body) {
      fresh = r->body_lines == 0;
      if (l->group) {
        uint32_t need = group_end(r, b, n) - b->printed;
        if (int64_t(need) > int64_t(r->lines_left) && !fresh) {
          r->status = kRmFooting;
          return 0;
        }
      }
      if (int64_t(adv) > int64_t(r->lines_left)) {
        if (!fresh) {
          r->status = kRmFooting;
          return 0;
        }
        // The blank lines before the line fill this page; the line goes on
        // the next.
        if (adv > 1) {
          uint32_t part = std::min<uint32_t>(adv - 1, uint32_t(room(r)));
          if (!advance(r, part)) return 0;
          b->printed = b->printed + part;
          r->body_lines = r->body_lines + 1;
          r->status = kRmFooting;
          return 0;
        }
      }
    }
    runs.clear();
    for (uint32_t i = 0; i < b->run_count && runs.size() < 255; ++i)
      if (all[i].line == n) {
        PmRun pr{};
        pr.attr = all[i].attr;
        pr.start = all[i].start;
        pr.len = all[i].len;
        pr.colour = all[i].colour;
        runs.push_back(pr);
      }
    PmReq q{};
    q.action = kPmAdvance;
    q.count = adv;
    q.text = Ref<char>::of(rm_line_text(l));
    q.text_len = b->width;
    // The runs go through an arena copy: the request holds references.
    PmRun* arena_runs = nullptr;
    if (!runs.empty()) {
      arena_runs = alloc<PmRun>(r, runs.size());
      std::memcpy(static_cast<void*>(arena_runs), runs.data(), runs.size() * sizeof(PmRun));
      q.runs = Ref<PmRun>::of(arena_runs);
      q.run_count = uint8_t(runs.size());
    }
    int ok = pm_write(pc, &q);
    if (arena_runs) mm_free(arena_runs);
    if (!ok) {
      sys_err(__LINE__, "print - pm_write failed");
      return 0;
    }
    count_lines(r, adv);
    l->printed = 1;
    b->printed = n;
    if (body) r->body_lines = r->body_lines + 1;
  }
  if (b->last > b->printed) {
    int64_t adv = int64_t(b->last) - b->printed;
    if (r->page_len > 0 && adv > r->lines_left) adv = std::max<int64_t>(r->lines_left, 0);
    if (adv > 0 && !advance(r, uint32_t(adv))) return 0;
  }
  rm_reset_buf(r, b, false);
  return 1;
}
