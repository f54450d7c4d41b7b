// Standard report headings, subheadings and totals: see opstd.h.
#include "executors/opstd.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "foundation/cv.h"
#include "foundation/la.h"
#include "foundation/os.h"
#include "foundation/pd.h"
#include "language/ii.h"
#include "process/em.h"
#include "process/emrec.h"
#include "process/pc.h"
#include "process/pcb.h"

namespace {

constexpr const char* kMod = "OP";

std::string_view trim(std::string_view s) {
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  return s;
}

int std_width(const OpStd& std) { return std::min<int>(std.width, kOpMaxWidth); }

// A line of the report's width.
struct Line {
  char* c;
  int width;
  char& operator[](size_t i) { return c[i]; }
  void clear() { std::memset(c, ' ', size_t(width)); }
};
Line pgh(OpStd& std, int i) { return {op_std_pgh_line(std, i), std_width(std)}; }
Line colh(OpStd& std, int i) { return {op_std_colh_line(std, i), std_width(std)}; }

// Writes text into line at column col (from 1), cut at the report width.
void put(Line line, int col, std::string_view text) {
  int width = line.width;
  if (col < 1) {
    if (size_t(1 - col) >= text.size()) return;
    text.remove_prefix(size_t(1 - col));
    col = 1;
  }
  if (col > width) return;
  size_t n = std::min<size_t>(text.size(), size_t(width - col + 1));
  std::memcpy(line.c + col - 1, text.data(), n);
}

// Centred: at (width - length) / 2, rounded down; a longer text is cut.
void centre(Line line, std::string_view text) {
  int width = line.width;
  text = trim(text);
  if (text.size() > size_t(width)) text = text.substr(0, size_t(width));
  put(line, 1 + (width - int(text.size())) / 2, text);
}

bool blank_at(Line line, int col, int len) {
  for (int c = col; c < col + len; ++c)
    if (line[size_t(c - 1)] != ' ') return false;
  return true;
}

// The page number, five digits at least, ending at the right edge. When it
// is wider than the digits already there, the block before them (prefix,
// blank, label, blank: block_len columns) moves left by as much.
void put_page_no(Line line, uint32_t page, int block_len) {
  int width = line.width;
  char num[16];
  int n = std::snprintf(num, sizeof num, "%.*u", 5, page);
  int have = 0;
  while (have < width && line[size_t(width - 1 - have)] >= '0' && line[size_t(width - 1 - have)] <= '9') ++have;
  if (n > have && have > 0) {
    int shift = n - have;
    int end = width - have;  // last column of the block
    for (int c = std::max(end - block_len + 1, 1); c <= end; ++c)
      if (c - shift >= 1) line[size_t(c - shift - 1)] = line[size_t(c - 1)];
  }
  put(line, width - n + 1, std::string_view(num, size_t(n)));
}

}  // namespace

// ------------------------------------------------------------ headings --
char* op_std_pgh_line(OpStd& std, int i) { return std.pgh.data() + i * std_width(std); }
char* op_std_colh_line(OpStd& std, int i) { return std.colh.data() + i * std_width(std); }

void op_std_init(OpStd& std, uint32_t page, int width, std::string_view title, char uline,
                 std::string_view page_label) {
  std::memset(&std, 0, sizeof std);
  std.page = page;
  std.width = uint16_t(std::clamp(width, 0, kOpMaxWidth));
  std.counter = 1;
  std.title.set(title);
  std.underline = uint8_t(uline);
  std.mode = kOpHeadNone;
  std.rebuild = '1';
  std.first_sub = '0';
  std.last_sub = '1';
  std.pgh.clear();
  std.colh.clear();
  std::memset(op_std_colh_line(std, 2), uline, std.width);
  std.date.clear();
  std.page_label.set(page_label);
  std.one = '1';
}

void op_std_own(OpStd& std, int col, int width, uint16_t ordinal) {
  int w = std_width(std);
  for (int c = std::max(col, 1); c < col + width && c <= w; ++c)
    if (std.owner[c - 1] == 0) std.owner[c - 1] = ordinal;
}

void op_std_pgh_page(OpStd& std, int width) {
  Line l2{std.pgh.data() + width, width};
  put_page_no(l2, std.page, 3 + 1 + int(trim(std.page_label.view()).size()) + 1);
}

void op_std_pgh(OpStd& std, const OpPghText& text, const std::vector<OpStdHitm>& items) {
  int width = std_width(std);
  if (std.rebuild != '1') {
    op_std_pgh_page(std, width);
    return;
  }
  std.pgh.clear();
  if (!text.db_name.empty()) centre(pgh(std, 0), text.db_name);
  centre(pgh(std, 1), text.heading);
  std::string_view date = trim(std.date.view());
  put(pgh(std, 1), 1, date.substr(0, std::min<size_t>(date.size(), size_t(width))));
  std::string block(text.prefix.substr(0, 3));
  block.resize(3, ' ');
  block += ' ';
  block += trim(std.page_label.view());
  block += ' ';
  char num[16];
  int n = std::snprintf(num, sizeof num, "%.*u", 5, std.page.get());
  block.append(num, size_t(n));
  put(pgh(std, 1), width - int(block.size()) + 1, block);
  centre(pgh(std, 2), std.title.view());
  op_std_colh(std, items);
}

int op_std_colh(OpStd& std, const std::vector<OpStdHitm>& items) {
  int width = std_width(std);
  bool uline = std.mode == kOpHeadUline;
  Line c0 = colh(std, 0), c1 = colh(std, 1), c2 = colh(std, 2);
  c0.clear();
  c1.clear();
  c2.clear();
  bool placed = false, used1 = false, used2 = false, drawn = false;
  for (const OpStdHitm& h : items) {
    int col = h.col;
    if (col < 1 || col > width) continue;
    int room = std::min(30, width - col + 1);
    std::string_view t1 = h.head1.trimmed(), t2 = h.head2.trimmed();
    int l1 = std::min<int>(int(t1.size()), room), l2 = std::min<int>(int(t2.size()), room);
    int longer = std::max(l1, l2);
    // The item heads only columns that its image owns.
    bool owned = true;
    for (int c = col; c < col + longer && c <= width; ++c)
      if (std.owner[c - 1] != h.ordinal) owned = false;
    if (!owned) continue;
    int w = std::min<int>(h.width, width - col + 1);
    auto start = [&](int len) {
      switch (h.align) {
        case kOpAlignLeft: return col;
        case kOpAlignRight: return col + w - len;
        case kOpAlignCentre: return col + (w - len) / 2;
      }
      return -1;
    };
    int s1 = start(l1), s2 = start(l2);
    if (s1 < 0) {
      os_sys_err_text(kMod, __LINE__, "gen_std_colh() - unexpected case switch");
      return 0;
    }
    s1 = std::max(s1, 1);
    s2 = std::max(s2, 1);
    if (s1 + l1 - 1 > width || s2 + l2 - 1 > width) continue;
    if (!blank_at(c0, s1, l1) || !blank_at(c1, s2, l2)) continue;
    put(c0, s1, t1.substr(0, size_t(l1)));
    put(c1, s2, t2.substr(0, size_t(l2)));
    used1 |= l1 > 0;
    used2 |= l2 > 0;
    placed |= longer > 0;
    if (uline && longer > 0) {
      int from = h.align == kOpAlignLeft ? col : std::min(l1 ? s1 : s2, l2 ? s2 : s1);
      put(c2, from, std::string(size_t(longer), '_'));
      drawn = true;
    }
  }
  std.rebuild = '0';
  if (!placed) {
    std.colh_lines = 0;
    return 1;
  }
  int lines = uline ? 3 : 2;
  auto up = [&](Line to, Line from) {
    std::memcpy(to.c, from.c, size_t(width));
    from.clear();
  };
  if (!used1) {  // line 2 moves up
    up(c0, c1);
    up(c1, c2);
    --lines;
    if (!used2 && drawn) --lines;
  } else if (!used2 && drawn) {  // the underline moves up
    up(c1, c2);
    --lines;
  }
  std.colh_lines = uint8_t(lines);
  return 1;
}

// -------------------------------------------------------------- totals --
namespace {

// The bucket as a 16-byte packed value, or false when it is not a number.
bool widen(const OpBucket& b, uint8_t w[16]) {
  pd_widen(w, b.value.data(), 8);
  return pd_shft(w, 16, 0) != 0;
}

}  // namespace

void op_bucket_zero(OpBucket& b) {
  pd_cvp(b.value.data(), 8, 0);
  b.scale = 0;
  b.ovf = 0;
}

int op_roll_bucket(OpBucket& src, OpBucket& tgt) {
  struct Zero {  // the source is zeroed however the roll ends
    OpBucket& b;
    ~Zero() { op_bucket_zero(b); }
  } zero{src};
  if (tgt.ovf) return 0;
  if (src.ovf) {
    tgt.ovf = 1;
    return 0;
  }
  uint8_t s[16], t[16];
  if (!widen(src, s) || !widen(tgt, t)) return -1;
  int ss = std::min<int>(src.scale, kPdMaxDigits), ts = std::min<int>(tgt.scale, kPdMaxDigits);
  // Align both at the larger scale: the coarser one is shifted left. Each
  // holds at most 15 digits, so a gap of up to 15 keeps the sum within the
  // 31 digits of the work value; a wider gap first drops decimals of the
  // finer operand (truncated), until the shifted one stays within 30.
  for (;;) {
    uint8_t* coarse = ss < ts ? s : t;
    int digits = 0;
    SIG_DIGITS(coarse, 16, &digits);
    if (digits + std::abs(ss - ts) <= kPdMaxDigits - 1) break;
    pd_shftn(ss > ts ? s : t, 16, -1);
    (ss > ts ? ss : ts) -= 1;
  }
  int scale = std::max(ss, ts);
  if (ss < ts) pd_shft(s, 16, ts - ss);
  else if (ts < ss) pd_shft(t, 16, ss - ts);
  if (!pd_add(t, 16, s, 16)) return -1;  // at most 30 and 15 digits: no overflow
  int digits = 0;
  SIG_DIGITS(t, 16, &digits);
  if (digits > 15) {
    int drop = digits - 15;
    if (drop > scale) {
      tgt.ovf = 1;
      return 0;
    }
    pd_shftn(t, 16, -drop);
    scale -= drop;
  }
  if (!pd_narrow8(tgt.value.data(), t)) return -1;
  tgt.scale = uint8_t(scale);
  return 1;
}

namespace {

// The field of a summary of the module: an item of the module showing or
// totalling it (blank when none does).
std::string_view summary_field(Pcb* pcb, const PcSum& sum) {
  const EmHeader* em = pcb->module.get();
  const PcbItemEnt* items = pcb->item_tbl.get();
  for (uint32_t i = 1; em && items && i <= em->n_items; ++i) {
    const EmCitm* c = items[i].citm.get();
    if (c && sum.app == c->app.view() && sum.area == c->area && sum.offset == c->offset) return c->field.trimmed();
  }
  return {};
}

}  // namespace

void op_sum_roll_ents(Pcb* pcb, OpSum* ents, int count, int level) {
  for (int i = 0; i < count; ++i) {
    OpSum& e = ents[i];
    auto* b = reinterpret_cast<OpBucket*>(e.buckets.get());
    if (!b || level < 0 || level > e.inner) continue;
    OpBucket* target = nullptr;
    if (level > 0) {
      target = &b[level - 1];
    } else if (OpSum* up = e.roll.get(); up && up->buckets) {
      target = &reinterpret_cast<OpBucket*>(up->buckets.get())[up->inner];
    }
    if (!target) {
      op_bucket_zero(b[level]);
      continue;
    }
    if (op_roll_bucket(b[level], *target) == 0 && !e.warned) {
      e.warned = 1;
      if (pcb && pcb->msg_file) {
        std::string text = la_text(200120);
        text += ": ";
        if (const uint8_t* item = e.item.get()) {
          text += rec::view<EmCitm>(item).field.trimmed();
        } else if (const uint8_t* ref = e.sum_ref.get()) {
          const PcSum& sum = rec::view<PcSum>(ref);
          std::string_view field = summary_field(pcb, sum);
          if (!field.empty()) {
            text += field;
          } else {
            text += sum.app.trimmed();
            text += " " + std::to_string(uint32_t(sum.number));
          }
        }
        add_wrn_err(pcb, text.data(), text.size(), 1);
      }
    }
  }
}

int op_bucket_text(const OpBucket& b, const char* mask, int mask_len, char* out, int width) {
  if (b.ovf) {
    // The mask's own overflow form: what the edit gives a value too large.
    CvNum big{pacdec::i128(pacdec::pow10(38)), 0};
    num_itoe(mask, mask_len, big, out, width);
    return 0;
  }
  bool ok = false;
  int64_t v = pd_cvb64(b.value.data(), 8, &ok);
  if (!ok) {
    std::memset(out, '*', size_t(std::max(width, 0)));
    return 0;
  }
  CvNum n{v, b.scale};
  return num_itoe(mask, mask_len, n, out, width);
}
