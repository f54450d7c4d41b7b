// The module verifier: see ib.h, "verification".
#include <algorithm>
#include <bitset>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "files/fm.h"
#include "foundation/bi.h"
#include "foundation/cvdat.h"
#include "language/ib.h"
#include "language/ibcnv.h"
#include "language/ibctl.h"
#include "language/ibdate.h"
#include "language/ibfld.h"
#include "language/ibfi.h"
#include "language/ibimg.h"
#include "language/ibmath.h"
#include "language/ibmisc.h"
#include "language/ibtst.h"
#include "language/ibutil.h"
#include "process/em.h"
#include "process/emrec.h"
#include "process/pc.h"
#include "process/pishr.h"

namespace {

constexpr int kSlots = kIbBlockSize / 4;

// What an address register is known to point into, from the register loads
// of the current straight run of code.
struct Reg {
  bool known = false;
  uint64_t size = 0;  // bytes of the area, constant or field from its start
  uint64_t off = 0;   // the register's offset into it
};

// What a length register is known to hold at most, from the length loads
// of the current straight run of code.
struct Len {
  bool known = false;
  uint64_t max = 0;
};

struct Block {
  uint8_t* p = nullptr;
  std::bitset<kSlots> start;   // instruction starts, by offset / 4
  std::bitset<kSlots> target;  // starts that code references or entries lead to
};

struct Vfy {
  EmHeader* em;
  char* why;
  size_t n;
  std::vector<Block> blocks;                 // block b at b - 1
  std::vector<uint32_t> insts;               // every instruction: block index << 16 | offset
  std::vector<const uint8_t*> code_ops;      // every code operand
  std::vector<const uint8_t*> chain_ops;     // RLOC_BNB's to offset 0 of the block after its own
  std::vector<uint64_t> area;                // room at each address-array slot (0: not known)
  std::vector<uint8_t> ctl;                  // 1 a slot holding a file control area, 0 another, 2 none named
  std::map<uint16_t, uint32_t> file_len;     // record length by process file number
  std::vector<uint64_t> cnst_room;           // room of each constant looked up (0: not yet)
  // The records of each sub-file walked, read once per verification (the
  // checks walk frames, items, summaries and file references several times):
  // the record and its length, in key order; a record the read left in the
  // handle's buffer is copied (own), as the next read reuses that buffer.
  struct Walked {
    FmArb* f = nullptr;
    std::vector<std::pair<uint8_t*, uint32_t>> list;
    std::vector<std::vector<uint8_t>> own;
  };
  std::vector<std::unique_ptr<Walked>> walked;  // each stays where it is while a walk goes on
  size_t walked_n = 0;                          // entries of this verification
  // The screen checks' tables, refilled by each check.
  std::vector<uint32_t> next;                   // next frame of each frame
  std::vector<uint8_t> seen;                    // 1 at each number a record has
  std::vector<std::string> apps;                // the module's applications

  bool fail(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    if (why && n) std::vsnprintf(why, n, fmt, ap);
    va_end(ap);
    return false;
  }
};

// The records of a sub-file in key order, read at the first walk of this
// verification.
const std::vector<std::pair<uint8_t*, uint32_t>>& records_of(Vfy& v, FmArb* f) {
  for (size_t i = 0; i < v.walked_n; ++i)
    if (v.walked[i]->f == f) return v.walked[i]->list;
  if (v.walked_n == v.walked.size()) v.walked.push_back(std::make_unique<Vfy::Walked>());
  Vfy::Walked& w = *v.walked[v.walked_n++];
  w.f = f;
  w.list.clear();
  w.own.clear();
  fm_each_fast(f, [&](uint8_t* p, uint32_t len) {
    if (p == f->rec.get()) {
      w.own.emplace_back(p, p + len);
      p = w.own.back().data();
    }
    w.list.emplace_back(p, len);
  });
  return w.list;
}

template <class T, class F>
void each_record(Vfy& v, FmArb* f, F fn) {
  for (const auto& [p, len] : records_of(v, f)) fn(p, len);
}

// (1) The blocks and the instructions in them.
bool walk_blocks(Vfy& v) {
  const IbOpDef* const tab = inst_nam.data();
  FmArb* inst = v.em->inst.get();
  // A module without code (a screen that runs no statement): every entry
  // must then be none, which check_entries sees.
  if (!inst || !fm_is_handle(inst)) return true;
  for (uint32_t b = 1;; ++b) {
    uint8_t* p = MADDR(inst, b);
    if (!p) break;
    if (b > 65534) return v.fail("too many blocks");
    if (inst->len_read != uint16_t(kIbBlockSize)) return v.fail("block %u is %u bytes", b, unsigned(inst->len_read));
    Block blk;
    blk.p = p;
    // The code ends where the zero fill begins (looked for 8 bytes at a
    // time: blocks are 8-byte multiples).
    int fill = kIbBlockSize;
    while (fill >= 32) {   // 32 bytes at a time while they are all zero
      uint64_t w[4];
      std::memcpy(w, p + fill - 32, 32);
      if (w[0] | w[1] | w[2] | w[3]) break;
      fill -= 32;
    }
    while (fill >= 8) {
      uint64_t w;
      std::memcpy(&w, p + fill - 8, 8);
      if (w) break;
      fill -= 8;
    }
    while (fill > 0 && p[fill - 1] == 0) --fill;
    fill = (fill + 3) & ~3;
    int at = 0;
    uint16_t last = 0;
    while (at < fill) {
      const uint16_t op = rec::view<IbInst>(p + at).op;
      const IbOpDef& d = tab[op < kIbOps ? op : kIbOps];
      if (op & 1) return v.fail("block %u offset %d: relocated opcode %u", b, at, unsigned(op));
      if (d.len == IbLen::Unknown) return v.fail("block %u offset %d: opcode %u", b, at, unsigned(op));
      if (at + int(d.size) > kIbBlockSize) return v.fail("block %u offset %d: opcode %u past the block", b, at, unsigned(op));
      // ib_inst_len, on the definition at hand.
      size_t len = d.len == IbLen::Fixed     ? d.size
                   : d.len == IbLen::PlusU16 ? d.size + size_t(rec::view<rec::U16>(p + at + d.len_at))
                                             : d.size + 8u * p[at + d.len_at];
      if (len < 4 || at + len > size_t(kIbBlockSize))
        return v.fail("block %u offset %d: opcode %u of %zu bytes past the block", b, at, unsigned(op), len);
      // A CALC reset's zero byte and the next instruction's hold the number
      // of its statement's plan once the code runs: zero in compiled code.
      if (op == 700 && (p[at + 3] != 0 || (at + 8 <= kIbBlockSize && p[at + 7] != 0)))
        return v.fail("block %u offset %d: a CALC reset that names a plan", b, at);
      for (int i = 0; i < d.nopnd; ++i) {
        if (d.opnd[i].at + 4u > len || d.opnd[i].kind_at >= len)
          return v.fail("block %u offset %d: operand past the instruction", b, at);
        if (d.opnd[i].kind != IbOpnd::Code) continue;
        const auto& to = rec::view<CodeRef>(p + at + d.opnd[i].at);
        // The chain to the next block is not a branch: the registers go on.
        if (op == 464 && to.block == b + 1 && to.offset == 0) v.chain_ops.push_back(p + at + d.opnd[i].at);
        else v.code_ops.push_back(p + at + d.opnd[i].at);
      }
      // SCAN's return block is a place the scan support goes to.
      if (op == 580) v.code_ops.push_back(p + at + 12);
      blk.start.set(size_t(at / 4));
      v.insts.push_back(uint32_t(v.blocks.size()) << 16 | uint32_t(at));
      last = op;
      at += int((len + 3) & ~size_t(3));
    }
    if (fill > 0 && !ib_ends_run(last)) return v.fail("block %u: code runs off its end", b);
    v.blocks.push_back(blk);
  }
  return true;
}

bool code_at(const Vfy& v, uint16_t block, uint16_t offset) {
  if (block == 0 || block > v.blocks.size() || offset >= kIbBlockSize || offset % 4) return false;
  return v.blocks[block - 1u].start.test(offset / 4u);
}

// (2) An entry or code operand: no code, or an instruction start.
bool check_code(Vfy& v, const uint8_t* ref, const char* what, bool none_ok = true, bool mark = true) {
  const auto& r = rec::view<CodeRef>(const_cast<uint8_t*>(ref));
  if (r.block == kNoCode && none_ok) return true;
  if (!code_at(v, r.block, r.offset))
    return v.fail("%s: code reference %u:%u is no instruction", what, unsigned(r.block), unsigned(r.offset));
  if (mark) v.blocks[r.block - 1u].target.set(r.offset / 4u);
  return true;
}

bool check_entries(Vfy& v) {
  for (const rec::U32& e : v.em->proc_eps) {
    rec::U32 w = e;
    if (!check_code(v, reinterpret_cast<const uint8_t*>(&w), "event point entry")) return false;
  }
  // Entries of compiled frames (21-25 at 108), images (41-46 at 160 and
  // the totals at 184), children (61-62 at 168) and items (range checks at
  // 296).
  struct Sub {
    FmArb* f;
    uint32_t at, count;
  } subs[] = {{v.em->cfrm.get(), 108, 5},
              {v.em->cimg.get(), 160, 7},
              {v.em->cchld.get(), 168, 2},
              {v.em->citm.get(), 296, 1}};
  bool ok = true;
  for (const Sub& s : subs)
    each_record<uint8_t>(v, s.f, [&](uint8_t* p, uint32_t len) {
      for (uint32_t i = 0; ok && i < s.count && s.at + 4 * i + 4 <= len; ++i)
        // 0, an entry never filled, is no compile's: each entry is one or
        // "no code".
        ok = rec::view<rec::U32>(p + s.at + 4 * i) != 0u
                 ? check_code(v, p + s.at + 4 * i, "frame, image or child entry")
                 : v.fail("frame, image or child entry never filled");
    });
  return ok;
}

// (3) The area table: every entry a slot of the address array, a sub-area
// inside the whole area before it; the room at each slot. A private area
// (kind 2 and above) is its entry's own block; a shared one is the slot of
// its class, application and number, which is at least as large as the
// first entry of that number (a smaller one ends the run before the code
// starts), whatever entry of the number names it; a sub-area reaches to its
// area's end.
bool check_areas(Vfy& v) {
  const uint32_t n = v.em->n_areas;
  v.area.assign(size_t(n) + 1, 0);
  v.ctl.assign(size_t(n) + 1, 2);  // 2: not seen yet
  const uint8_t* t = v.em->area_table.get();
  if (!t) return true;
  // The first entry's size by (class, application, number).
  std::vector<std::pair<uint64_t, uint64_t>> first;
  auto first_of = [&](const EmAreaEntry& e) {
    const uint8_t* a = reinterpret_cast<const uint8_t*>(e.app.data());
    uint64_t key = uint64_t(e.aclass.get()) << 56 | uint64_t(a[0]) << 48 | uint64_t(a[1]) << 40 |
                   uint64_t(a[2]) << 32 | e.number.get();
    for (const auto& [k, size] : first)
      if (k == key) return size;
    first.emplace_back(key, uint64_t(e.size.get()));
    return uint64_t(e.size.get());
  };
  bool have_whole = false;
  uint64_t whole = 0;
  for (uint32_t i = 1; i <= n; ++i) {
    const auto& e = rec::view<EmAreaEntry>(const_cast<uint8_t*>(t) + sizeof(EmAreaEntry) * i);
    const uint32_t ix = e.index;
    if (ix == 0 || ix > n) return v.fail("area entry %u: index %u outside the table of %u", i, ix, n);
    // One entry a slot: the setup gives a slot named again the block it
    // holds already (or another area's), of a room this check cannot know.
    if (v.ctl[ix] != 2) return v.fail("area entry %u: slot %u named twice", i, ix);
    uint64_t room;
    if (e.sub != 0) {
      if (!have_whole || uint64_t(e.sub) + e.size > whole) return v.fail("area entry %u: sub-area past its area", i);
      room = whole - e.sub;
    } else {
      // A shared area names its class and its number in it (the setup
      // skips any other, and gives it no block).
      if (e.kind < 2 && (e.aclass >= kSaaClasses || e.number == 0))
        return v.fail("area entry %u: class %u number %u", i, unsigned(e.aclass), unsigned(e.number));
      room = e.size;
      if (e.kind < 2) room = first_of(e);
      have_whole = true;
      whole = room;
    }
    v.area[ix] = room;
    v.ctl[ix] = e.sub == 0 && e.kind == 1 && room >= sizeof(PiFileCtl) ? 1 : 0;  // a file control area
  }
  return true;
}

bool load_files(Vfy& v) {
  bool ok = true;
  each_record<EmCfi>(v, v.em->cfi.get(), [&](uint8_t* p, uint32_t len) {
    if (len < sizeof(EmCfi)) {
      ok = v.fail("file reference of %u bytes", len);
      return;
    }
    const auto& r = rec::view<EmCfi>(p);
    v.file_len[r.file_no] = r.fdb.rec_len;
  });
  return ok;
}

// A constant reference: its room, or false.
bool cnst_room(Vfy& v, uint32_t key, uint64_t* room) {
  if (key >= uint32_t(kComCnstBase)) {
    uint64_t off = key - uint32_t(kComCnstBase);
    if (off >= sizeof(ComArea)) return v.fail("constant %u past the common block", key);
    *room = sizeof(ComArea) - off;
    return true;
  }
  // Looked up once per constant.
  if (key < v.cnst_room.size() && v.cnst_room[key]) {
    *room = v.cnst_room[key];
    return true;
  }
  FmArb* c = v.em->cnst.get();
  uint8_t* p = key && c && fm_is_handle(c) ? MADDR(c, key) : nullptr;
  if (!p || c->len_read == 0) return v.fail("constant %u not in the constant file", key);
  *room = c->len_read;
  if (key < 4096) {
    if (v.cnst_room.size() <= key) v.cnst_room.resize(key + 1, 0);
    v.cnst_room[key] = *room;
  }
  return true;
}

// A record field reference {file number, offset}: its room, or false.
bool field_room(Vfy& v, const uint8_t* at, uint64_t* room) {
  uint16_t file_no = rec::view<rec::U16>(const_cast<uint8_t*>(at));
  uint16_t off = rec::view<rec::U16>(const_cast<uint8_t*>(at) + 2);
  auto it = v.file_len.find(file_no);
  if (it == v.file_len.end()) return v.fail("field of file %u, which the module does not use", unsigned(file_no));
  if (off >= it->second) return v.fail("field at %u past the record of file %u", unsigned(off), unsigned(file_no));
  *room = it->second - off;
  return true;
}

// (5) The screen records: what the frame processor and the window manager
// take from them as counts, places and lengths.
bool check_screens(Vfy& v) {
  EmHeader* em = v.em;
  const uint32_t frames = em->n_frames, images = em->n_images, items = em->n_items, children = em->n_children;
  auto slot_room = [&](uint32_t ix) -> uint64_t { return ix <= em->n_areas ? v.area[ix] : 0; };
  auto range = [](uint32_t first, uint32_t last, uint32_t count) { return !first || (first <= last && last <= count); };
  bool ok = true;
  // Frames: their images and children among the module's, a known mode,
  // and chains of next frames that end.
  std::vector<uint32_t>& next = v.next;
  next.assign(size_t(frames) + 1, 0);
  each_record<EmCfrm>(v, em->cfrm.get(), [&](uint8_t* p, uint32_t) {
    const auto& f = rec::view<EmCfrm>(p);
    if (!ok) return;
    const unsigned seq = f.seq;
    if (f.mode < 1 || f.mode > 3)
      ok = v.fail("frame %u: mode %u", seq, unsigned(f.mode));
    else if (!range(f.first_img, f.last_img, images))
      ok = v.fail("frame %u: images %u-%u of %u", seq, unsigned(f.first_img), unsigned(f.last_img), images);
    else if (!range(f.first_chld, f.last_chld, children))
      ok = v.fail("frame %u: children %u-%u of %u", seq, unsigned(f.first_chld), unsigned(f.last_chld), children);
    else if (f.next > frames)
      ok = v.fail("frame %u: next frame %u of %u", seq, unsigned(f.next), frames);
    else if (seq < 1 || seq > frames)
      ok = v.fail("frame %u of %u", seq, frames);
    else
      next[seq] = f.next;
  });
  // Every frame and item the counts name has its record: the frame
  // processor's tables are filled from them. (The image count is one more
  // than the images.)
  auto all_there = [&](FmArb* sub, size_t at, uint32_t count, const char* what) {
    std::vector<uint8_t>& seen = v.seen;
    seen.assign(size_t(count) + 1, 0);
    each_record<uint8_t>(v, sub, [&](uint8_t* p, uint32_t len) {
      if (at + 4 > len) return;
      uint32_t no = at == offsetof(EmCitm, item_no) ? uint32_t(rec::view<rec::U16>(p + at))
                                                    : uint32_t(rec::view<rec::U32>(p + at));
      if (no >= 1 && no <= count) seen[no] = 1;
    });
    for (uint32_t i = 1; ok && i <= count; ++i)
      if (!seen[i]) ok = v.fail("%s %u of %u has no record", what, i, count);
  };
  all_there(em->cfrm.get(), offsetof(EmCfrm, seq), frames, "frame");
  all_there(em->citm.get(), offsetof(EmCitm, item_no), items, "item");
  for (uint32_t f = 1; ok && f <= frames; ++f) {
    uint32_t at = f, steps = 0;
    while (at && steps++ <= frames) at = next[at];
    if (at) ok = v.fail("frame %u: its chain of next frames never ends", f);
  }
  // Images: their items among the module's; each image of a frame's range
  // has its record. Their sizes, by sequence.
  std::map<uint32_t, std::pair<int64_t, int64_t>> size;
  each_record<EmCimg>(v, em->cimg.get(), [&](uint8_t* p, uint32_t) {
    const auto& im = rec::view<EmCimg>(p);
    if (ok && !range(im.first_item, im.last_item, items))
      ok = v.fail("image %u: items %u-%u of %u", unsigned(im.seq), unsigned(im.first_item), unsigned(im.last_item),
                  items);
    size[im.seq] = {im.rows.get(), im.cols.get()};
  });
  each_record<EmCfrm>(v, em->cfrm.get(), [&](uint8_t* p, uint32_t) {
    const auto& f = rec::view<EmCfrm>(p);
    for (uint32_t i = f.first_img; ok && i && i <= f.last_img; ++i)
      if (!size.count(i)) ok = v.fail("frame %u: image %u has no record", unsigned(f.seq), i);
  });
  // Characteristics and items lie inside their images, as their compile
  // placed them (an item of no rows takes one, of no columns its width).
  auto inside = [&](uint32_t image, int64_t row, int64_t col, int64_t rows, int64_t cols) {
    auto it = size.find(image);
    return it == size.end() || (rows >= 1 && cols >= 1 && row >= 1 && col >= 1 && row + rows - 1 <= it->second.first &&
                                col + cols - 1 <= it->second.second);
  };
  each_record<EmCchr>(v, em->cchr.get(), [&](uint8_t* p, uint32_t) {
    const auto& c = rec::view<EmCchr>(p);
    if (ok && !inside(c.handle, c.row, c.col, c.rows, c.cols))
      ok = v.fail("characteristic at %d,%d outside image %u", int(c.row), int(c.col), unsigned(c.handle));
  });
  each_record<EmCitm>(v, em->citm.get(), [&](uint8_t* p, uint32_t) {
    const auto& w = rec::view<EmCitm>(p).wm;
    const int64_t rows = w.rows ? int64_t(w.rows) : 1;
    const int64_t cols = std::max<int64_t>(1, w.cols ? int64_t(w.cols) : int64_t(w.text_len));
    if (ok && !inside(w.handle, w.row, w.col, rows, cols))
      ok = v.fail("item %u outside image %u", unsigned(rec::view<EmCitm>(p).item_no), unsigned(w.handle));
  });
  // Look-ups: a file control area and a record area that holds the file's
  // record.
  std::map<uint16_t, uint64_t> lk_room;  // record room of each look-up
  each_record<EmCdlu>(v, em->cdlu.get(), [&](uint8_t* p, uint32_t) {
    const auto& d = rec::view<EmCdlu>(p);
    if (!ok) return;
    if (d.ctl_ira && (d.ctl_ira > em->n_areas || v.ctl[d.ctl_ira] != 1)) {
      ok = v.fail("look-up %u: slot %u holds no file control area", unsigned(d.number), unsigned(d.ctl_ira));
      return;
    }
    uint64_t need = 0;
    each_record<EmCfi>(v, em->cfi.get(), [&](uint8_t* q, uint32_t len) {
      const auto& r = rec::view<EmCfi>(q);
      if (len >= sizeof(EmCfi) && d.ctl_ira && r.ctl_ira == d.ctl_ira)
        need = std::max<uint64_t>(need, r.fdb.rec_len);
    });
    if (d.area && slot_room(d.area) < need)
      ok = v.fail("look-up %u: record area %u holds less than the file's record", unsigned(d.number), unsigned(d.area));
    lk_room[d.number] = d.area ? slot_room(d.area) : 0;
  });
  // Items: the value, the look-up key part and the empty value hold the
  // value's stored length; one shown from a look-up's record lies inside it.
  each_record<EmCitm>(v, em->citm.get(), [&](uint8_t* p, uint32_t) {
    const auto& c = rec::view<EmCitm>(p);
    if (!ok) return;
    // Its look-ups are the module's, its empty value of a known kind (none,
    // a record field, a constant).
    for (uint16_t lk : {c.lk_no.get(), c.lk_file_no.get()})
      if (ok && lk && !lk_room.count(lk))
        ok = v.fail("item %u: look-up %u has no record", unsigned(c.item_no), unsigned(lk));
    if (ok && c.wm.source > 2)
      ok = v.fail("item %u: empty value of kind %u", unsigned(c.item_no), unsigned(c.wm.source));
    if (!ok) return;
    const auto& cv = rec::view<CvItem>(p + offsetof(EmCitm, wm) + 12);
    unsigned long long len = cv.int_len;
    if (!len && IS_ELEM_DATE(cv.type))
      len = unsigned(std::max(0, cv_date_stored_len(cv.type, cv.digits, cv.decimals, cv.julian)));
    const unsigned no = c.item_no;
    if (c.wm.ira_sub && slot_room(c.wm.ira_sub) < len)
      ok = v.fail("item %u: %llu bytes at slot %u", no, len, unsigned(c.wm.ira_sub));
    else if (c.lk_no && c.lk_ira && slot_room(c.lk_ira) < len)
      ok = v.fail("item %u: look-up key part of %llu bytes at slot %u", no, len, unsigned(c.lk_ira));
    else if ((c.use == 2 || c.use == 3) && c.lk_file_no && lk_room.count(c.lk_file_no) &&
             uint64_t(c.offset) + len > lk_room[c.lk_file_no])
      ok = v.fail("item %u: at %u past the record of look-up %u", no, unsigned(c.offset), unsigned(c.lk_file_no));
    if (!ok || !c.wm.reference) return;
    uint64_t room = 0;
    if (c.wm.source == 2 && !cnst_room(v, c.wm.reference, &room)) ok = false;
    else if (c.wm.source == 2 && room < len)
      ok = v.fail("item %u: empty value of %llu bytes in constant %u", no, len, unsigned(c.wm.reference));
    else if (c.wm.source == 1) {
      const uint8_t* ref = reinterpret_cast<const uint8_t*>(&c.wm.reference);
      auto it = v.file_len.find(rec::view<rec::U16>(const_cast<uint8_t*>(ref)));
      const uint16_t off = rec::view<rec::U16>(const_cast<uint8_t*>(ref) + 2);
      if (it != v.file_len.end() && uint64_t(off) + len > it->second)
        ok = v.fail("item %u: empty value at %u past the record", no, unsigned(off));
    }
  });
  // Children: the constraint arrays a count asks for are constants that
  // hold them (6-byte positions, 16-byte descriptors).
  each_record<EmCchld>(v, em->cchld.get(), [&](uint8_t* p, uint32_t) {
    const PiInvoc& iv = rec::view<EmCchld>(p).invoc;
    const uint64_t n = iv.cns_count;
    for (auto [key, size] : {std::pair{iv.cns_positions.raw(), 6u}, std::pair{iv.cns_descs.raw(), 16u}}) {
      uint64_t room = 0;
      if (!ok || !n) return;
      if (!key || key >= uint32_t(kComCnstBase) || !cnst_room(v, key, &room) || room < n * size)
        ok = v.fail("child %u: %llu constraints, not in constant %u", unsigned(rec::view<EmCchld>(p).seq),
                    static_cast<unsigned long long>(n), unsigned(key));
    }
  });
  // Summaries: the header counts them, each numbered once below the count
  // (the report's accumulators are a table of that count, by number), and
  // each a running total (the compile makes them for totals alone).
  const uint32_t sums = rec::view<rec::U32>(em->b1280.data());
  uint32_t sum_recs = 0;
  each_record<PcSum>(v, em->sum.get(), [&](uint8_t*, uint32_t) { ++sum_recs; });
  if (ok && sum_recs != sums) ok = v.fail("%u summaries counted, %u recorded", sums, sum_recs);
  std::vector<bool> sum_seen(ok ? sums : 0, false);
  each_record<PcSum>(v, em->sum.get(), [&](uint8_t* p, uint32_t) {
    const auto& s = rec::view<PcSum>(p);
    if (!ok) return;
    if (s.number >= sums) ok = v.fail("summary %u of %u", unsigned(s.number), sums);
    else if (s.total != 1) ok = v.fail("summary %u: not a total", unsigned(s.number));
    else if (sum_seen[s.number]) ok = v.fail("summary %u twice", unsigned(s.number));
    else sum_seen[s.number] = true;
  });
  // Token lists: of the module's own applications alone.
  // (copied: a record's bytes may lie in a buffer the next record reuses)
  std::vector<std::string>& apps = v.apps;
  apps.assign(1, std::string(em->app.data(), 3));
  each_record<EmCap>(v, em->cap.get(), [&](uint8_t* q, uint32_t) { apps.emplace_back(rec::view<EmCap>(q).app.data(), 3); });
  auto known_app = [&](const char* app) {
    return std::find(apps.begin(), apps.end(), std::string_view(app, 3)) != apps.end();
  };
  each_record<EmCtok>(v, em->ctok.get(), [&](uint8_t* p, uint32_t) {
    if (ok && !known_app(rec::view<EmCtok>(p).app.data()))
      ok = v.fail("token list of an application the module does not use");
  });
  each_record<EmCitm>(v, em->citm.get(), [&](uint8_t* p, uint32_t) {
    const auto& cv = rec::view<CvItem>(p + offsetof(EmCitm, wm) + 12);
    const bool tokens = cv.token_mark && (cv.type == 1 || cv.type == 2 || cv.type == 13 || cv.type == 5);
    if (ok && tokens && !known_app(cv.app.data()))
      ok = v.fail("item %u: token list of an application the module does not use",
                  unsigned(rec::view<EmCitm>(p).item_no));
  });
  return ok;
}

bool fits(Vfy& v, const Reg& r, uint64_t len, uint16_t op, int reg) {
  if (len == 0) return true;
  if (!r.known) return v.fail("opcode %u moves at register %d, not loaded in its run of code", unsigned(op), reg + 1);
  if (r.off + len <= r.size) return true;
  return v.fail("opcode %u moves %llu bytes at register %d, past its %llu", unsigned(op),
                static_cast<unsigned long long>(len), reg + 1, static_cast<unsigned long long>(r.size - std::min(r.size, r.off)));
}

// The address registers an instruction reads and writes, and how far
// (registers 0 and 1 of the moves: target and source).
struct Use {
  uint64_t r0 = 0, r1 = 0, r2 = 0, r3 = 0;
};
bool move_use(const uint8_t* p, uint16_t op, Use* u) {
  auto* q = const_cast<uint8_t*>(p);
  switch (op) {
    case 114: u->r0 = u->r1 = rec::view<IbLen2>(q).a; return true;                           // MOVE_CHAR
    case 116: u->r0 = uint64_t(rec::view<IbLen2>(q).a) + rec::view<IbLen2>(q).b; u->r1 = rec::view<IbLen2>(q).a; return true;
    case 122: u->r0 = rec::view<IbLen2>(q).b; u->r1 = rec::view<IbLen2>(q).a; return true;   // MOVE_PD
    case 110: u->r0 = rec::view<IbMoveFixVar>(q).len; u->r1 = 9; return true;
    case 120: u->r0 = 9; u->r1 = rec::view<IbMoveVarFix>(q).len; return true;
    case 118: u->r0 = 9; u->r1 = rec::view<IbLen2>(q).a; return true;                         // MOVE_VAR_CHAR
    case 124: u->r0 = rec::view<IbMovePdShft>(q).tgt_len; u->r1 = rec::view<IbMovePdShft>(q).src_len; return true;
    case 128: u->r1 = rec::view<IbMovePdChar>(q).len; return true;
    case 132: case 142: case 180: u->r0 = u->r1 = 1; return true;                             // logical moves
    case 138: u->r0 = 9; u->r1 = 1; return true;                                              // MOVE_VAR_LOG
    case 134: u->r1 = 1; return true;                                                        // MOVE_BIN_LOG: into a work value
    case 136: u->r0 = rec::view<IbMoveFixLog>(q).len; u->r1 = 1; return true;
    case 148: u->r1 = rec::view<IbAlpToBin>(q).len; return true;
    case 144: u->r0 = rec::view<IbFmtAlp>(q).len; return true;
    case 146: u->r1 = rec::view<IbNumToAlp>(q).src_len; return true;
    case 182: u->r0 = rec::view<IbAlpToAlp>(q).tgt_len; u->r1 = rec::view<IbAlpToAlp>(q).src_len; return true;
    case 94: { int s = rec::view<IbCmprsBin>(q).size; u->r0 = s == 1 || s == 2 ? s : 4; return true; }
    case 150: { int s = rec::view<IbBinToLog>(q).size; u->r0 = 1; u->r1 = s == 1 || s == 2 ? s : 4; return true; }
    case 176: u->r0 = rec::view<IbSetIfNull>(q).val_len; u->r1 = rec::view<IbSetIfNull>(q).cmp_len; return true;
    default: return false;
  }
}

// The field and date families: their operands by their lengths (a binary
// by its size 1, 2 or 4), a date by its descriptor's stored length.
uint64_t bin_size(uint64_t n) { return n == 1 || n == 2 ? n : 4; }
bool fld_use(uint8_t* q, uint16_t op, Use* u) {
  switch (op) {
    case 250: u->r0 = rec::view<IbAppend>(q).tgt_len; u->r1 = rec::view<IbAppend>(q).src_len; return true;
    case 252: u->r0 = q[4]; u->r1 = rec::view<IbAppend>(q).src_len; return true;
    case 406: u->r0 = rec::view<IbSetTemp>(q).tgt_len; u->r1 = rec::view<IbSetTemp>(q).src_len; return true;
    case 410: u->r0 = rec::view<IbTokenToAlp>(q).tgt_len; u->r1 = bin_size(rec::view<IbTokenToAlp>(q).src_len); return true;
    case 414: u->r0 = rec::view<IbSetBinToPd>(q).tgt_len; u->r1 = bin_size(rec::view<IbSetBinToPd>(q).src_len); return true;
    case 416: u->r0 = bin_size(rec::view<IbSetPdToBin>(q).tgt_len); u->r1 = rec::view<IbSetPdToBin>(q).src_len; return true;
    case 418: u->r0 = bin_size(rec::view<IbSetBinToBin>(q).tgt_len); u->r1 = bin_size(rec::view<IbSetBinToBin>(q).src_len); return true;
    case 424: u->r0 = 1; u->r1 = rec::view<IbPdToLog>(q).len + (rec::view<IbPdToLog>(q).fixed ? 0u : 1u); return true;
    case 380: return true;
    case kOpSetDate: u->r0 = rec::view<IbSetDate>(q).d.len; return true;
    case kOpDateAddMm: case kOpDateAddDd: case kOpDateAddTh: {
      const auto& in = rec::view<IbDateAdd>(q);
      u->r0 = in.d.len;
      u->r1 = in.num_type == 5 ? bin_size(in.num_len) : in.num_len.get();
      return true;
    }
    case kOpDateBtwMm: case kOpDateBtwDd: case kOpDateBtwTh:
      u->r0 = rec::view<IbDateBtw>(q).d1.len; u->r1 = rec::view<IbDateBtw>(q).d2.len; return true;
    case kOpSetDay: case kOpSetMnth: u->r0 = rec::view<IbSetName>(q).tgt_len; u->r1 = rec::view<IbSetName>(q).d.len; return true;
    case kOpDateToPd: case kOpDateToAlp: u->r1 = rec::view<IbDateCnv>(q).d.len; return true;
    case kOpDateToLog: u->r0 = 1; u->r1 = rec::view<IbDateCnv>(q).d.len; return true;
    case kOpLogToDate: u->r0 = rec::view<IbDateCnv>(q).d.len; u->r1 = 1; return true;
    case kOpAlpToDate: u->r0 = rec::view<IbDateCnv>(q).d.len; u->r1 = rec::view<IbDateCnv>(q).src_len; return true;
    case kOpNumToDate: {
      const auto& in = rec::view<IbDateCnv>(q);
      u->r0 = in.d.len;
      u->r1 = in.src_type == 5 ? bin_size(in.src_len) : in.src_len.get();
      return true;
    }
    case kOpDateToDate: u->r0 = rec::view<IbDateToDate>(q).t.len; u->r1 = rec::view<IbDateToDate>(q).s.len; return true;
    default: return false;
  }
}
// The mask tokens a date instruction carries lie inside its length.
bool date_masks_fit(const uint8_t* p, uint16_t op) {
  auto* q = const_cast<uint8_t*>(p);
  size_t len = ib_inst_len(p), fixed = 0, masks = 0;
  switch (op) {
    case kOpSetDate: fixed = sizeof(IbSetDate); masks = rec::view<IbSetDate>(q).d.mask_len; break;
    case kOpDateAddMm: case kOpDateAddDd: case kOpDateAddTh:
      fixed = sizeof(IbDateAdd); masks = rec::view<IbDateAdd>(q).d.mask_len; break;
    case kOpDateBtwMm: case kOpDateBtwDd: case kOpDateBtwTh:
      fixed = sizeof(IbDateBtw);
      masks = size_t(rec::view<IbDateBtw>(q).d1.mask_len) + rec::view<IbDateBtw>(q).d2.mask_len;
      break;
    case kOpSetDay: case kOpSetMnth: fixed = sizeof(IbSetName); masks = rec::view<IbSetName>(q).d.mask_len; break;
    case kOpDateToDate:
      fixed = sizeof(IbDateToDate);
      masks = size_t(rec::view<IbDateToDate>(q).t.mask_len) + rec::view<IbDateToDate>(q).s.mask_len;
      break;
    case kOpDateToPd: case kOpDateToLog: case kOpNumToDate: case kOpAlpToDate: case kOpLogToDate: case kOpDateToAlp:
      fixed = sizeof(IbDateCnv); masks = rec::view<IbDateCnv>(q).d.mask_len; break;
    default: return true;
  }
  return fixed + masks <= len;
}

// The bytes the arithmetic and conversions read or write through address
// registers 1 and 2. A CALC (702) or COMPUTE (710) operand is read where
// it is pushed, and a later store writes no more than that into it (the
// interpreter keeps each entry's room): binary 4 bytes (COMPUTE: 1, 2 or
// 4), packed 8 and its scale byte (COMPUTE: its length, a variable one's
// scale byte last).
bool data_use(const uint8_t* p, uint16_t op, Use* u) {
  auto* q = const_cast<uint8_t*>(p);
  switch (op) {
    case 702: u->r0 = rec::view<IbMath>(q).arg == 5 ? 4 : 9; return true;
    case 710: {
      const auto& in = rec::view<IbComputeOprnd>(q);
      const uint64_t n = in.type == 5 ? (in.len == 1 || in.len == 2 ? in.len.get() : 4) : in.len.get();
      (in.which == 1 ? u->r0 : u->r1) = n;
      return true;
    }
    case 738: u->r1 = std::min<uint64_t>(rec::view<IbMath>(q).arg, 32); return true;  // CNV_SRC
    case 752: {  // CNV BIN numeric from alpha: at most 4 source bytes, the target's length
      const auto& in = rec::view<IbCnvBinNA>(q);
      u->r0 = in.len;
      u->r1 = in.src_len <= 4 ? in.src_len.get() : 0;
      return true;
    }
    case 754: {  // CNV BIN alpha from numeric: 1-4 target bytes
      const auto& in = rec::view<IbCnvBinAN>(q);
      u->r0 = in.len >= 1 && in.len <= 4 ? in.len.get() : 0;
      if (!in.is_const) u->r1 = in.src_type == 5 ? std::min<uint64_t>(in.src_len, 4) : in.src_len.get();
      return true;
    }
    // The comparisons: alpha operands by their lengths, binary ones by
    // their sizes; the packed expansions read each operand's bytes (a
    // variable one's scale byte after them) and UNXPND stores 1-16 bytes.
    case 504: u->r0 = u->r1 = rec::view<IbIfCmp>(q).len; return true;
    case 506: {
      const auto& in = rec::view<IbIfRest>(q);
      (in.longer == 1 ? u->r0 : u->r1) = uint64_t(in.shorter) + in.diff;
      return true;
    }
    case 498: u->r0 = rec::view<IbIf2>(q).len1; u->r1 = rec::view<IbIf2>(q).len2; return true;
    // IN and EX store the position found into the 4-byte field at register 3.
    case 502: case 512: u->r0 = rec::view<IbIf2>(q).len1; u->r1 = rec::view<IbIf2>(q).len2; u->r2 = 4; return true;
    case 508: {
      const int code = rec::view<IbIfBin>(q).code;
      auto size = [](int c) { int k = c >= 4 ? c - 3 : c; return k == 3 ? 1 : k == 2 ? 2 : 4; };
      u->r0 = size((code - 1) / 6 + 1);
      u->r1 = size((code - 1) % 6 + 1);
      return true;
    }
    case 422: {
      const auto& in = rec::view<IbXpndFixFix>(q);
      u->r0 = in.len1 <= 16 ? in.len1.get() : 0;
      u->r1 = in.len2 <= 16 ? in.len2.get() : 0;
      return true;
    }
    case 278: u->r0 = rec::view<IbXpndVarVar>(q).len1 + 1u; u->r1 = rec::view<IbXpndVarVar>(q).len2 + 1u; return true;
    case 276: case 272: {
      const auto& in = rec::view<IbXpndMixed>(q);
      const uint64_t var = in.var_len + 1u, fix = in.fix_len <= 16 ? in.fix_len.get() : 0;
      u->r0 = op == 276 ? var : fix;
      u->r1 = op == 276 ? fix : var;
      return true;
    }
    case 300: { const int n = rec::view<IbUnxpnd>(q).len; u->r0 = n >= 1 && n <= 16 ? n : 0; return true; }
    // The loops: the variable at register 1 (packed 8 bytes and its scale,
    // or binary 4) set at the start and stepped at the end; a binary loop
    // reads FROM, TO and STEP, 4 bytes each, at registers 2-4.
    case 4: u->r0 = u->r1 = u->r2 = u->r3 = 4; return true;
    case 12: u->r0 = 9; return true;
    case 14: u->r0 = 4; return true;
    case 470: u->r0 = rec::view<IbPrint>(q).len; return true;  // PRINT: its text (the image's part of it at most)
    // BEG AT and END AT gather their key from what register 1 addresses;
    // READ of a record-number file reads the number there.
    case 550: case 552: {
      const auto& a = rec::view<IbFiAt>(q);
      uint64_t end = 0;
      for (int i = 0; i < a.segs; ++i) {
        const auto& sg = rec::view<IbFiSeg>(q + 12 + 8 * i);
        end = std::max<uint64_t>(end, uint64_t(sg.offset) + sg.length);
      }
      u->r0 = end;
      return true;
    }
    case 562: {
      const auto& r = rec::view<IbFiRead>(q);
      u->r0 = r.key_no == kIbFiRecordNo ? r.key_len.get() : 0;
      return true;
    }
    // RUN and CALL read their text at register 1; a PASS of a constant
    // records register 1 as the constant's address, its length readable.
    case 32: u->r0 = rec::view<IbRun>(q).len; return true;
    case 6: u->r0 = rec::view<IbCall>(q).len; return true;
    case 26:
      if (rec::view<IbPass>(q).rec.b30[0] != 1) return false;
      u->r0 = rec::view<IbPass>(q).rec.len;
      return true;
    // A message's text in a TEMP field at register 1 (MSG_TMP, REFRESH of a field).
    case 626: u->r0 = rec::view<IbMsg>(q).len; return true;
    case 242:
      if (rec::view<IbMsg>(q).kind != 0) return false;
      u->r0 = rec::view<IbMsg>(q).len;
      return true;
    default: return fld_use(q, op, u);
  }
}

// The bytes the instructions that go by the length registers read or write
// through the address registers: 0 when the instruction is not one, -1 (the
// module refused) when a length register it needs was not loaded in its run.
int len_use(Vfy& v, const uint8_t* p, uint16_t op, const Len* lr, Use* u) {
  auto* q = const_cast<uint8_t*>(p);
  auto need = [&](int r) -> bool {
    if (lr[r].known) return true;
    return v.fail("opcode %u reads length register %d, not loaded in its run of code", unsigned(op), r + 1);
  };
  switch (op) {
    case 510:  // IF_PD: the two packed values by their lengths
      if (!need(0) || !need(1)) return -1;
      u->r0 = lr[0].max;
      u->r1 = lr[1].max;
      return 1;
    case 2:  // BEG_LOOP_PD: the variable, FROM, TO and STEP (17 bytes at most each)
      if (!need(1) || !need(2) || !need(3)) return -1;
      u->r0 = 9;
      u->r1 = std::min<uint64_t>(lr[1].max, 17);
      u->r2 = std::min<uint64_t>(lr[2].max, 17);
      u->r3 = std::min<uint64_t>(lr[3].max, 17);
      return 1;
    case 0: {  // LOOP_CNV: a binary operand by its size, a packed one and its scale
      const auto& in = rec::view<IbLoopCnv>(q);
      const uint64_t n = in.var_type != 5 ? (in.op_len == 1 || in.op_len == 2 ? in.op_len.get() : 4) : 9;
      const int r = (in.reg - 1) & 3;
      (r == 0 ? u->r0 : r == 1 ? u->r1 : r == 2 ? u->r2 : u->r3) = n;
      return 1;
    }
    case 48: {  // VERIFY: the field by its type
      const auto& in = rec::view<IbVfy>(q);
      const int t = in.type;
      const bool date = t == 3 || t == 4 || t == 6 || t == 7 || t == 9 || t == 10 || t == 15;
      u->r0 = date ? (t == kDtHost ? 8 : in.len.get())
              : in.tokens ? (in.len == 1 || in.len == 2 ? in.len.get() : 4)
              : t == 12 ? 8
              : t == 8 ? in.len.get()
              : t == 11 ? 1 : 0;
      return 1;
    }
    case 516: {  // IF_DAT: each date by its stored length (a host date 8 bytes)
      const auto& in = rec::view<IbIfDat>(q);
      u->r0 = in.d1.type == kDtHost ? 8 : in.d1.len.get();
      u->r1 = in.d2.type == kDtHost ? 8 : in.d2.len.get();
      return 1;
    }
    case 750: {  // CNV_TEXT: the field and the text, or every occurrence of both
      const auto& in = rec::view<IbCnvText>(q);
      const int field = in.direction == 1 ? 1 : 0;
      if (in.item.ext_len == 0) {
        v.fail("CNV_TEXT without its display width");
        return -1;
      }
      if (in.occ_mode == 1 || in.occ_mode == 2) {
        if (!need(0) || !need(1)) return -1;
        u->r0 = lr[0].max;
        u->r1 = lr[1].max;
        // A field given no length is one field for every text.
        uint64_t& f = field == 0 ? u->r0 : u->r1;
        f = std::max<uint64_t>(f, in.item.int_len);
      } else {
        (field == 0 ? u->r0 : u->r1) = in.item.int_len;
        (field == 0 ? u->r1 : u->r0) = in.item.ext_len;
      }
      return 1;
    }
    default:
      return 0;
  }
}

// What an instruction leaves in the length registers.
void len_effect(const uint8_t* p, uint16_t op, Len* lr) {
  auto* q = const_cast<uint8_t*>(p);
  if (op >= 152 && op <= 158) lr[(op - 152) / 2] = Len{true, rec::view<IbLdLen>(q).value.get()};
  else if (op >= 160 && op <= 174) {  // from a field: its maximum, else any 16-bit length
    const uint16_t mx = rec::view<IbLdLenFld>(q).max;
    lr[((op - 160) / 2) & 3] = Len{true, mx ? mx : 65535u};
  } else if (op == 8) {
    const int r = rec::view<IbAddrLen>(q).reg;
    lr[r >= 1 && r <= 4 ? r - 1 : 3] = Len{true, rec::view<IbAddrLen>(q).len.get()};
  } else if (op == 0) lr[(rec::view<IbLoopCnv>(q).reg - 1) & 3] = Len{true, 9};
  else if (op == 84) { const int r = rec::view<IbCnvPd>(q).reg; if (r >= 1 && r <= 4) lr[r - 1] = Len{true, 16}; }
  else if (op == 144) lr[0] = Len{true, 32};
  else if (op == kOpDateToPd) lr[1] = Len{true, 16};
  else if (op == kOpDateToAlp) lr[1] = Len{true, 32};
  else if (op == 422 || op == 278 || op == 276 || op == 272) lr[0] = lr[1] = Len{true, 16};
}

// Instructions that leave the address registers as they are.
bool keeps_regs(uint16_t op) {
  return (op >= 152 && op <= 174) || (op >= 700 && op <= 740 && op != 708) || op == 752 || op == 754 ||
         (op >= 498 && op <= 508) || op == 512 || op == 300 || op == 272 || op == 276 || op == 278 || op == 422 ||
         op == 8 || op == 0 || op == 510 || op == 516 || op == 750 || op == 470 || op == 466 || op == 468 || op == 450 || op == 452 || op == 454 || op == 22 ||
         op == 250 || op == 252 || op == 380 || op == 406 || op == 410 || (op >= 414 && op <= 418) || op == 424 ||
         (op >= 200 && op <= 230) || op == 550 || op == 552 || op == 562;
}

// Instructions that load, move or offset address registers (the ones the
// loop below looks at one by one).
bool reg_op(uint16_t op) {
  switch (op) {
    case 52: case 54: case 56: case 58: case 60: case 62: case 64: case 66: case 68: case 70: case 72: case 74:
    case 76: case 78: case 84: case 94: case 110: case 114: case 116: case 118: case 120: case 122: case 124:
    case 128: case 132: case 134: case 136: case 138: case 142: case 144: case 146: case 148: case 150:
    case 176: case 180: case 182: case 184: case 186: case 188: case 650:
      return true;
    default:
      return false;
  }
}

// (3) and (4): the operands of every instruction, and the moves of each
// straight run of code.
bool check_code_flow(Vfy& v) {
  const uint32_t n_areas = v.em->n_areas;
  const IbOpDef* const tab = inst_nam.data();
  Reg reg[4];
  Len lr[4];
  auto forget = [&] {
    for (Reg& r : reg) r.known = false;
    for (Len& l : lr) l.known = false;
  };
  size_t cur = ~size_t(0);
  bool chained = false;  // the last instruction chains to the next block
  for (uint32_t w : v.insts) {
    const size_t bi = w >> 16;
    const int s = int(w & 0xFFFF) / 4;
    Block& blk = v.blocks[bi];
    if (bi != cur) {  // each block starts a run, unless its previous block chains to it
      if (!chained || bi != cur + 1) forget();
      cur = bi;
    }
    chained = false;
    {
      uint8_t* p = blk.p + 4 * s;
      const uint16_t op = rec::view<IbInst>(p).op;
      const IbOpDef& d = tab[op < kIbOps ? op : kIbOps];
      const unsigned b = unsigned(bi + 1), at = unsigned(4 * s);
      // Operands by kind.
      for (int i = 0; i < d.nopnd; ++i) {
        const IbOperand& o = d.opnd[i];
        uint8_t* x = p + o.at;
        IbOpnd kind = o.kind;
        if (kind == IbOpnd::NullCnst) kind = p[o.kind_at] == 2 ? IbOpnd::Cnst : IbOpnd::Field;
        uint64_t room;
        switch (kind) {
          case IbOpnd::Code: break;  // check_code_operands
          case IbOpnd::Cnst:
            if (rec::view<rec::U32>(x) == 0u && op == 50) break;  // ABORT without constant
            if (!cnst_room(v, rec::view<rec::U32>(x), &room)) return false;
            break;
          case IbOpnd::Ira:  // slot 0 of the array is never an area
            if (rec::view<rec::U32>(x).get() == 0 || rec::view<rec::U32>(x).get() > n_areas)
              return v.fail("block %u offset %u: field index %u outside the table of %u", b, at,
                            unsigned(rec::view<rec::U32>(x).get()), n_areas);
            break;
          case IbOpnd::Field:
            if (!field_room(v, x, &room)) return false;
            break;
          default: break;
        }
      }
      // REFRESH takes its text from a constant (1) or register 1 (0): no
      // other kind, which it would read as the register's for as many bytes.
      if (op == 242 && rec::view<IbMsg>(p).kind > 1u)
        return v.fail("block %u offset %u: REFRESH of text kind %u", b, at, unsigned(rec::view<IbMsg>(p).kind));
      // A message's constant holds its text (MSG_CNST, REFRESH of a constant).
      if (op == 628 || (op == 242 && rec::view<IbMsg>(p).kind == 1 && rec::view<IbMsg>(p).len != 0)) {
        uint64_t room;
        if (!cnst_room(v, rec::view<rec::U32>(p + 4), &room)) return false;
        if (rec::view<IbMsg>(p).len > room) return v.fail("block %u offset %u: message text past its constant", b, at);
      }
      // A branch target starts a new run: what the registers hold there
      // depends on the way in.
      if (blk.target.test(size_t(s))) forget();
      if ((op & ~1u) == 26 && rec::view<IbPass>(p).rec.b30[0] != 1 && rec::view<IbPass>(p).rec.kind != 2) {
        // A passed field or record: inside its data area.
        const auto& r = rec::view<IbPass>(p).rec;
        uint32_t ix = r.ira;
        uint64_t size = ix <= n_areas ? v.area[ix] : 0;
        if (uint64_t(r.offset.get()) + r.len.get() > size)
          return v.fail("block %u offset %u: passed item past its area", b, at);
      }
      Use u;
      const int by_len = len_use(v, p, op, lr, &u);
      if (by_len < 0) return false;
      len_effect(p, op, lr);
      if (by_len > 0 || data_use(p, op, &u)) {
        if (op == 710 && rec::view<IbComputeOprnd>(p).type != 5 && rec::view<IbComputeOprnd>(p).len == 0)
          return v.fail("block %u offset %u: packed operand of no length", b, at);
        if (op == 754 && !rec::view<IbCnvBinAN>(p).is_const && rec::view<IbCnvBinAN>(p).src_type == 12 &&
            rec::view<IbCnvBinAN>(p).src_len == 0)
          return v.fail("block %u offset %u: packed source of no length", b, at);
        if (!fits(v, reg[0], u.r0, op, 0) || !fits(v, reg[1], u.r1, op, 1) || !fits(v, reg[2], u.r2, op, 2) ||
            !fits(v, reg[3], u.r3, op, 3))
          return false;
        // A binary COMPUTE target points register 3 at its sign; CNV_SRC
        // points register 2 at its 32-byte work value.
        if (op == 710 && rec::view<IbComputeOprnd>(p).which == 1 && rec::view<IbComputeOprnd>(p).type == 5)
          reg[2] = Reg{};
        if (op == 738) reg[1] = Reg{true, 32, 0};
        if (op == 0) reg[(rec::view<IbLoopCnv>(p).reg - 1) & 3] = Reg{true, 32, 0};  // its work value
        if (op == 422 || op == 278 || op == 276 || op == 272) reg[0] = reg[1] = Reg{true, 32, 0};  // the work values
        if (!date_masks_fit(p, op)) return v.fail("block %u offset %u: date masks past the instruction", b, at);
        if (op == kOpDateToPd || op == kOpDateToAlp) reg[1] = Reg{true, 32, 0};  // its result in a work value
        if (!keeps_regs(op)) forget();
        continue;
      }
      if (op == 464 && rec::view<IbBnb>(p).next.block == b + 1 && rec::view<IbBnb>(p).next.offset == 0) {
        chained = true;
        continue;
      }
      // Most instructions only end the run of their registers.
      if (!reg_op(op)) {
        if (!keeps_regs(op)) forget();
        continue;
      }
      // Register loads.
      if (op >= 52 && op <= 74) {
        int r = ((op - 52) / 2) & 3;
        Reg nr;
        uint32_t ref = rec::view<rec::U32>(p + 4);
        if (op <= 58) {
          nr.known = cnst_room(v, ref, &nr.size);
          if (!nr.known) return false;
        } else {
          nr.size = ref <= n_areas ? v.area[ref] : 0;
          nr.known = nr.size != 0;
          if (op >= 68) {
            const auto& in = rec::view<IbIraOcc>(p);
            if (in.occ == 0) return v.fail("block %u offset %u: occurrence 0", b, at);
            nr.off = uint64_t(in.occ - 1u) * in.elem_len.get();
            if (nr.known && nr.off + in.elem_len.get() > nr.size)
              return v.fail("block %u offset %u: occurrence %u past its area", b, at, unsigned(in.occ));
          }
        }
        reg[r] = nr;
        continue;
      }
      if (op == 650) {  // the offset register
        const auto& in = rec::view<IbOffsetReg>(p);
        if (in.reg < 1u || in.reg > 4u) return v.fail("block %u offset %u: register %u", b, at, unsigned(in.reg));
        reg[in.reg - 1].off += in.offset.get();
        continue;
      }
      if (op == 184 || op == 186) {  // TOTAL: a 28-byte accumulator entry, its 9-byte bucket
        const uint32_t r = op == 184 ? rec::view<IbIraSum>(p).reg.get() : rec::view<IbIraBucket>(p).reg.get();
        if (r < 1 || r > 4) return v.fail("block %u offset %u: register %u", b, at, unsigned(r));
        if (op == 184 && rec::view<IbIraSum>(p).acc >= rec::view<rec::U32>(v.em->b1280.data()))
          return v.fail("block %u offset %u: summary %u of %u", b, at, unsigned(rec::view<IbIraSum>(p).acc),
                        unsigned(rec::view<rec::U32>(v.em->b1280.data())));
        reg[r - 1] = Reg{true, op == 184 ? 28u : 9u, 0};
        continue;
      }
      if (op == 188) {  // IRA_SCAN: into the process's scan buffer
        const auto& in = rec::view<IbIraScan>(p);
        if (in.reg < 1u || in.reg > 4u) return v.fail("block %u offset %u: register %u", b, at, unsigned(in.reg));
        reg[in.reg - 1] = Reg{true, kIiScanBuf, in.offset.get()};
        continue;
      }
      if (op == 76 || op == 78) {  // an occurrence: the last one at most
        const auto& in = rec::view<IbOcc>(p);
        if (in.reg < 1 || in.reg > 4) return v.fail("block %u offset %u: register %u", b, at, unsigned(in.reg));
        Reg& r = reg[in.reg - 1];
        // Without a maximum the run checks that the occurrence's elem_len
        // bytes lie inside the register's area: those bytes are its room.
        if (in.max == 0) r = r.known ? Reg{true, in.elem_len.get(), 0} : Reg{};
        else r.off += uint64_t(in.max - 1u) * in.elem_len.get();
        if (r.known && r.off + in.elem_len.get() > r.size)
          return v.fail("block %u offset %u: occurrence past its area", b, at);
        continue;
      }
      if (move_use(p, op, &u)) {
        if (!fits(v, reg[0], u.r0, op, 0) || !fits(v, reg[1], u.r1, op, 1)) return false;
        if (op == 176) {  // SET_IF_NULL: the value and the null image
          const auto& in = rec::view<IbSetIfNull>(p);
          uint64_t room;
          const uint8_t* val = p + 8;
          const uint8_t* img = p + 16;
          bool ok = in.val_kind == 2 ? cnst_room(v, rec::view<rec::U32>(const_cast<uint8_t*>(val)), &room)
                                     : field_room(v, val, &room);
          if (!ok) return false;
          if (in.val_len > room) return v.fail("block %u offset %u: null value past its constant or field", b, at);
          ok = in.null_kind == 2 ? cnst_room(v, rec::view<rec::U32>(const_cast<uint8_t*>(img)), &room)
                                 : field_room(v, img, &room);
          if (!ok) return false;
          if (in.cmp_len > room) return v.fail("block %u offset %u: null image past its constant or field", b, at);
        }
        continue;
      }
      if (op == 84) {  // CNV_PD: the register holds a 16-byte work value
        int r = rec::view<IbCnvPd>(p).reg;
        if (r < 1 || r > 4) return v.fail("block %u offset %u: register %d", b, at, r);
        reg[r - 1] = Reg{true, 16, 0};
        continue;
      }
      if (!keeps_regs(op)) forget();
    }
  }
  return true;
}

// (2) Every code operand, before the runs are followed (each marks its
// target).
bool check_code_operands(Vfy& v) {
  for (const uint8_t* x : v.code_ops)
    // An operand is a place to go: "no code" would be the arena's base.
    if (!check_code(v, x, "code operand", false)) return false;
  for (const uint8_t* x : v.chain_ops)
    if (!check_code(v, x, "block chain", false, false)) return false;
  return true;
}

}  // namespace

int ib_verify(EmHeader* em, char* why, size_t n) {
  if (why && n) why[0] = 0;
  // The tables of the last check are emptied for this one: a check after
  // every compile costs no allocation of its own.
  static Vfy kept{nullptr, nullptr, 0, {}, {}, {}, {}, {}, {}, {}, {}, {}, 0, {}, {}, {}};
  Vfy& v = kept;
  v.em = em;
  v.why = why;
  v.n = n;
  v.blocks.clear();
  v.insts.clear();
  v.code_ops.clear();
  v.chain_ops.clear();
  v.area.clear();
  v.ctl.clear();
  v.file_len.clear();
  v.cnst_room.clear();
  v.walked_n = 0;
  if (!em) return v.fail("no module");
  v.insts.reserve(1024);
  if (!walk_blocks(v) || !check_entries(v) || !check_code_operands(v) || !check_areas(v) || !load_files(v) ||
      !check_screens(v))
    return 0;
  return check_code_flow(v) ? 1 : 0;
}
