// Value conversion: conversion items and blocks, the conversions by data
// type, literals, translated fields and token lists (read from the TOKEN
// files through the file manager's CvTokenFiles).
#include "foundation/cv.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "foundation/bi.h"
#include "foundation/cvdat.h"
#include "foundation/la.h"
#include "foundation/os.h"
#include "foundation/scratch.h"
#include "foundation/ut.h"

namespace {

constexpr uint32_t kMsgToken = 200060;
constexpr uint32_t kMsgBadMask = 200090;
constexpr uint32_t kMsgBadType = 200100;
constexpr uint32_t kMsgNumMask = 102020;

MmPool g_pool = 0;

MmPool cv_pool() {
  if (!g_pool) g_pool = mm_create_pool(" CV_POOL   ", com.base_scope, 0);
  return g_pool;
}

bool blank(const char* s, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (s[i] != ' ') return false;
  return true;
}

std::string fixed(const char* s, size_t n) {
  std::string r(n, ' ');
  if (s) {
    size_t k = std::strlen(s);
    std::memcpy(r.data(), s, k < n ? k : n);
  }
  return r;
}

bool is_date(int t) { return IS_ELEM_DATE(t); }
bool is_num(int t) { return IS_ELEM_NUM(t); }
bool is_alpha(int t) { return IS_ELEM_ALP(t); }

bool has_tokens(const CvItem* it) { return it->token_mark.get() != 0; }

// The block's message and its item's.
int refuse(CvBlock* b, uint32_t msg) {
  b->msg = msg;
  if (b->item) b->item->msg = msg;
  return 0;
}

// A date descriptor over the block's stored value and compiled mask.
void date_desc(CvBlock* b, uint8_t* stored, DateDesc* d) {
  CvItem* it = b->item;
  d->len = it->int_len;
  d->value = stored;
  d->mask = reinterpret_cast<uint8_t*>(b->date_mask);
  d->mask_len = b->date_mask_len;
  d->type = it->type;
  d->high = it->digits;
  d->low = it->decimals;
  d->julian = it->julian;
  d->msg = 0;
}

// Stored integer of a token field (1, 2 or 4 bytes, signed).
bool token_number(const uint8_t* p, int len, int32_t* v, bool* null) {
  uint32_t u = 0;
  if (len == 1) {
    u = p[0];
    *null = u == 0xFF;
    *v = int8_t(p[0]);
  } else if (len == 2) {
    u = uint32_t(p[0] | p[1] << 8);
    *null = u == 0xFFFF;
    *v = int16_t(u);
  } else if (len == 4) {
    u = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    *null = u == 0xFFFFFFFFu;
    *v = int32_t(u);
  } else {
    return false;
  }
  return true;
}

bool put_token_number(uint8_t* p, int len, int32_t v) {
  if (len == 1 && (v < -128 || v > 127)) return false;
  if (len == 2 && (v < -32768 || v > 32767)) return false;
  if (len != 1 && len != 2 && len != 4) return false;
  for (int i = 0; i < len; ++i) p[i] = uint8_t(uint32_t(v) >> (8 * i));
  return true;
}

// ------------------------------------------------------ translations --

struct XlateTable {
  std::map<std::string, std::string> to;    // base text -> user's language
  std::map<std::string, std::string> from;  // the reverse
};
std::map<std::string, XlateTable>& xlate_tables() {
  static std::map<std::string, XlateTable> t;
  return t;
}
std::string trim(const char* s, size_t n) {
  while (n > 0 && s[n - 1] == ' ') --n;
  return std::string(s, n);
}
std::string xlate_key(const char* app, const char* ver, const char* lang, const char* table) {
  return fixed(app, 3) + fixed(ver, 2) + fixed(lang, 3) + trim(table ? table : "", table ? std::strlen(table) : 0);
}

int xlate(const char* app, const char* ver, const char* lang, const char* table, char* text, size_t length,
          bool reverse) {
  auto& tables = xlate_tables();
  auto t = tables.find(xlate_key(app, ver, lang, table));
  if (t == tables.end()) return 0;
  auto& m = reverse ? t->second.from : t->second.to;
  auto e = m.find(trim(text, length));
  if (e == m.end()) return 0;
  std::memset(text, ' ', length);
  std::memcpy(text, e->second.data(), e->second.size() < length ? e->second.size() : length);
  return 1;
}

// --------------------------------------------------------------- tokens --

struct TokenList {
  std::string app, ver, group;
  int flag;
  std::vector<CvTokenRec> recs;  // in number order
};
struct TokenCache {
  std::vector<TokenList> lists;
  const CvTokenFiles* files = nullptr;  // the file manager's TOKEN files
};
TokenCache& tokens() {
  static TokenCache c;
  return c;
}

}  // namespace

// ================================================================ start --

void cv_init() {
  cv_pool();
  la_get_dec_sep_cur();
}

void INIT_NUM_DELEM(DElem* elem, int size, int digits) {
  std::memset(elem, 0, sizeof *elem);
  elem->name.clear();
  elem->domain.clear();
  elem->file.clear();
  elem->label.clear();
  elem->heading1.clear();
  elem->heading2.clear();
  elem->low.clear();
  elem->high.clear();
  elem->ref_app.clear();
  elem->ref_file.clear();
  elem->ref_field.clear();
  elem->code1.clear();
  elem->code2.clear();
  elem->code3.clear();
  elem->initial.clear();
  elem->null_value.clear();
  elem->mask.clear();
  elem->mask2.clear();
  elem->rng_value1.clear();
  elem->rng_value2.clear();
  elem->work = '1';
  elem->kind = 1;
  elem->occurs = 1;
  elem->key_kind = 255;
  elem->key_no = 255;
  elem->low_given = 255;
  elem->high_given = 255;
  elem->rng_code1 = 255;
  elem->rng_code2 = 255;
  elem->type = 5;
  elem->length = uint16_t(size == 1 || size == 2 ? size : 4);
  elem->sign = '1';
  elem->digits = uint8_t(digits);
  elem->decimals = 0;
  elem->fill = ' ';
  elem->squeeze = '0';
  elem->entry_flag = '1';
  elem->case_code = 2;
}

void INIT_DATE_DELEM(DElem* elem) {
  INIT_NUM_DELEM(elem, 4, 0);
  elem->type = 7;
  elem->length = 8;
  elem->sign = '0';
  elem->mask.set("0807060504030201");
  elem->digits = 8;
  elem->decimals = 1;
}

// ========================================================= items, blocks --

int cv_bld_sitm(CvItem* item, const CElem* celem, const CvSitm* sitm, const char* app, const char* ver) {
  if (!item || !celem) return 0;
  if (!app || blank(app, std::strlen(app) < 3 ? std::strlen(app) : 3)) {
    std::snprintf(ut_dbg, sizeof ut_dbg, "cv_bld_sitm - missing dap");
    os_sys_err("CV", __LINE__);
    return 0;
  }
  // Keep the embedding record's own words.
  uint8_t head[16], embed[8], owner[20];
  std::memcpy(head, item, 16);
  std::memcpy(embed, item->embed1.data(), 8);
  std::memcpy(owner, item->owner.data(), 20);
  std::memset(static_cast<void*>(item), 0, sizeof *item);
  std::memcpy(item, head, 16);
  std::memcpy(item->embed1.data(), embed, 8);
  std::memcpy(item->owner.data(), owner, 20);

  const DElem& e = celem->e;
  int type = e.type;
  item->type = uint8_t(type);
  item->int_len = e.length;
  item->mask = e.mask;
  if (sitm && sitm->mask && !blank(sitm->mask, 60)) item->mask.set(std::string_view(sitm->mask, 60));
  if (sitm && sitm->width > 0) item->ext_len = uint16_t(sitm->width);
  item->digits = e.digits;
  item->decimals = e.decimals;
  item->sign = e.sign;
  item->case_code = e.case_code;
  item->justify = e.justify;
  item->squeeze = e.squeeze;
  item->fill = e.fill.get() ? e.fill.get() : uint8_t(' ');
  item->entry_flag = e.entry_flag;
  item->julian = (type == 3 || type == 6 || type == 9) ? 1 : 0;
  item->token_mark = e.token_mark;
  item->kind = e.b591 == '1' ? 1 : 0;
  item->app.set(std::string_view(app, std::strlen(app) < 3 ? std::strlen(app) : 3));
  item->ver.set(ver ? std::string_view(ver, std::strlen(ver) < 2 ? std::strlen(ver) : 2) : "");
  item->token_name = e.domain;
  item->language.clear();
  if (e.token_mark.get() != 0) item->flags = kCvTokens;
  if (!is_alpha(type) && !is_num(type) && !is_date(type) && type != 11) {
    item->msg = kMsgBadType;
    return 0;
  }
  return 1;
}

int cv_cmpl(CvBlock* block, CvItem* item, const CvBounds* bounds, MmPool pool) {
  if (!block || !item) return 0;
  if (item != &block->own) std::memset(static_cast<void*>(block), 0, sizeof *block);
  block->item = item;
  block->msg = 0;
  block->pool = pool;
  block->date_mask_len = 0;
  block->num_mask_len = 0;
  block->num_plain = 0;
  block->width = 0;
  item->msg = 0;
  int type = item->type;
  int width = 0;
  size_t ml = item->mask.len();
  if (is_alpha(type)) {
    for (size_t i = 0; i < ml; ++i) {
      char m = item->mask[i];
      if (m != ' ' && m != '!' && m != '#' && m != '&' && m != '@' && m != '*') return refuse(block, kMsgBadMask);
    }
    width = item->int_len;
    if (has_tokens(item) && !item->token_handle && !item->token_name.blank())
      item->token_handle = cv_load_token(item->app.str().c_str(), item->ver.str().c_str(), 0,
                                         item->token_name.str().c_str());
  } else if (is_num(type)) {
    if (type == 5 && has_tokens(item)) {
      width = item->token_mark;
      if (!item->token_handle && !item->token_name.blank())
        item->token_handle = cv_load_token(item->app.str().c_str(), item->ver.str().c_str(), 0,
                                           item->token_name.str().c_str());
    } else {
      // (Built on the stack: a statement that converts compiles its item at
      // each run.)
      char mask[2 * 255 + 3];
      size_t n = 0;
      if (ml > 0) {
        std::memcpy(mask, item->mask.data(), ml);
        n = ml;
      } else {
        // The default mask: the integer digits with a '0' at the units, the
        // decimals, a trailing sign for signed fields.
        int digits = item->digits ? item->digits : 1;
        if (type == 12 && digits > 15) digits = 15;
        std::memset(mask, '9', size_t(digits - 1));
        n = size_t(digits - 1);
        mask[n++] = '0';
        if (item->decimals) {
          mask[n++] = '.';
          std::memset(mask + n, '9', item->decimals);
          n += item->decimals;
        }
        if (item->sign == '1' || type == 12) mask[n++] = '-';
      }
      CvNumMsk m{mask, int(n), {}, 0};
      if (n >= sizeof block->num_mask || !cv_num_msk(&m)) return refuse(block, kMsgNumMask);
      std::memcpy(block->num_mask, mask, n);
      block->num_mask_len = uint16_t(n);
      block->num_plain = std::all_of(mask, mask + n, [](char c) {
        switch (c) {
          case '9': case 'Z': case '0': case '*': case '8': case '.': case ',':
          case '-': case '(': case ')': case '<': case '>': return true;
          default: return false;
        }
      });
      width = m.width;
    }
  } else if (type == 11) {
    width = 1;
  } else if (is_date(type)) {
    char text[60];
    if (ml > 0) {
      std::memcpy(text, item->mask.data(), 60);
    } else {
      ut_get_date_msk(item->app.str().c_str(), item->ver.str().c_str(), text);
    }
    std::memcpy(block->date_mask, text, 60);
    DateDesc d;
    d.mask = reinterpret_cast<uint8_t*>(block->date_mask);
    d.mask_len = 60;
    d.type = uint8_t(type);
    if (!cv_cmpl_date_msk(&d)) return refuse(block, kMsgBadMask);
    block->date_mask_len = d.mask_len;
    // The stored form keeps the element's range; a display mask of its own
    // shows the units it has.
    if (item->digits == 0 || item->decimals == 0) {
      item->digits = d.high;
      item->decimals = d.low;
    }
    if (item->int_len == 0) item->int_len = uint16_t(cv_date_stored_len(type, item->digits, item->decimals, item->julian));
    width = cv_date_msk_width(d.mask, d.mask_len);
  } else {
    return refuse(block, kMsgBadType);
  }
  if (width <= 0) return refuse(block, kMsgNoFit);
  block->width = uint16_t(width);
  int ext = item->ext_len ? item->ext_len.get() : width;
  item->ext_len = uint16_t(ext);
  item->edit_len = uint16_t(ext);
  int rows = 1, cols = ext;
  if (bounds && bounds->cols > 0 && ext > bounds->cols) {
    cols = bounds->cols;
    rows = (ext + cols - 1) / cols;
  }
  if (bounds && bounds->rows > 0 && rows > bounds->rows) return refuse(block, kMsgNoFit);
  item->rows = uint32_t(rows);
  item->cols = uint32_t(cols);
  item->flags = uint8_t(item->flags | kCvCompiled);
  return 1;
}

int cv_get_cnv(CvBlock* block, const DElem* elem, const char* app, const char* ver) {
  if (!block || !elem) return 0;
  std::memset(static_cast<void*>(block), 0, sizeof *block);
  CElem ce;
  std::memset(&ce, 0, sizeof ce);
  ce.e = *elem;
  if (!cv_bld_sitm(&block->own, &ce, nullptr, app, ver)) {
    block->item = &block->own;
    block->msg = block->own.msg;
    return 0;
  }
  return cv_cmpl(block, &block->own, nullptr, 0);
}

int cv_get_chunk(const CvBlock* block, int* remaining, int direction, CvChunk* out) {
  if (!block || !remaining || !out || !is_date(block->item ? block->item->type : 0)) return 0;
  int n = block->date_mask_len;
  if (*remaining <= 0 || *remaining > n) return 0;
  const uint8_t* t = reinterpret_cast<const uint8_t*>(block->date_mask);
  auto chunk_at = [&](int i) { return t[i] >= 32 ? 'L' : t[i] == kMskJulDay ? 'J' : char('0' + t[i]); };
  int i = direction >= 0 ? n - *remaining : *remaining - 1;
  char kind = chunk_at(i);
  int len = 1;
  if (kind == 'L') {
    // A run of literal characters.
    int step = direction >= 0 ? 1 : -1;
    for (int k = i + step; k >= 0 && k < n && len < *remaining && chunk_at(k) == 'L'; k += step) ++len;
  }
  out->kind = kind;
  out->length = len;
  out->width = kind == 'L' ? len : kind == 'J' ? 3 : 2;
  *remaining -= len;
  return 1;
}

void cv_set_addr(CvBlock* block, void* stored, char* display) {
  block->item->int_addr.set(static_cast<uint8_t*>(stored));
  block->item->ext_addr.set(display);
}

DateDesc* INT_DATE(DateDesc* d, const CvBlock* block, int direct) {
  if (!d || !block || !block->item || !is_date(block->item->type) || !block->date_mask_len) return nullptr;
  const CvItem* it = block->item;
  DateItemView v;
  v.stored = it->int_addr.get();
  v.display = reinterpret_cast<uint8_t*>(it->ext_addr.get());
  v.len = it->int_len;
  v.display_len = it->ext_len;
  v.mask = reinterpret_cast<uint8_t*>(const_cast<char*>(block->date_mask));
  v.mask_len = block->date_mask_len;
  v.type = it->type;
  v.high = it->digits;
  v.low = it->decimals;
  v.julian = it->julian;
  return INT_DATE(d, v, direct);
}

// ============================================================ conversions --


int cv_itoe(CvBlock* block) {
  if (!block || !block->item) return 0;
  CvItem* it = block->item;
  uint8_t* stored = it->int_addr.get();
  char* display = it->ext_addr.get();
  int ext = it->ext_len, len = it->int_len, type = it->type;
  block->msg = 0;
  it->msg = 0;
  if (!stored || !display || ext <= 0) {
    refuse(block, kMsgNoFit);
    return 0;
  }
  Scratch<char> text{size_t(ext)};
  std::memset(text.data(), ' ', size_t(ext));
  uint32_t msg = 0;
  if (is_alpha(type)) {
    int n = len < ext ? len : ext;
    std::memcpy(text.data(), stored, size_t(n));
    if (len > ext && !blank(reinterpret_cast<const char*>(stored) + ext, size_t(len - ext))) msg = kMsgNoFit;
    if (it->kind == 1 && it->xlate_mode == 1)
      xlate(it->app.str().c_str(), it->ver.str().c_str(), it->language.str().c_str(),
            it->token_name.str().c_str(), text.data(), size_t(ext), false);
  } else if (type == 5 && has_tokens(it)) {
    int32_t v;
    bool null;
    if (!token_number(stored, len, &v, &null)) {
      msg = kMsgNoFit;
      std::memset(text.data(), '*', size_t(ext));
    } else if (!null) {
      const CvTokenRec* t = cv_get_token(it->token_handle, nullptr, v, 1);
      if (t) {
        size_t tl = t->text.len();
        std::memcpy(text.data(), t->text.data(), tl < size_t(ext) ? tl : size_t(ext));
        if (it->kind == 1 && it->xlate_mode == 2)
          xlate(it->app.str().c_str(), it->ver.str().c_str(), it->language.str().c_str(),
                it->token_name.str().c_str(), text.data(), size_t(ext), false);
      } else {
        // A number that is no token of the list.
        int w = it->token_mark < ext ? it->token_mark : ext;
        std::memset(text.data(), '?', size_t(w));
        msg = kMsgToken;
      }
    }
  } else if (is_num(type)) {
    CvNum n;
    if (!cv_num_get(type, stored, len, it->decimals, it->sign == '1' || type == 12, &n)) {
      std::memset(text.data(), '*', size_t(ext));
      msg = kMsgNoFit;
    } else if (!num_itoe(block->num_mask, block->num_mask_len, n, text.data(), ext)) {
      msg = kMsgNoFit;
    }
  } else if (type == 11) {
    text[0] = cv_log_itoe(char(stored[0]));
  } else if (is_date(type)) {
    DateDesc d;
    date_desc(block, stored, &d);
    if (!cv_date_itoe(&d, text.data(), size_t(ext), &msg)) {
      if (msg != kMsgNoFit) std::memset(text.data(), '*', size_t(ext));
      if (!msg) msg = kMsgBadDate;
    }
  } else {
    msg = kMsgBadType;
  }
  int changed = std::memcmp(display, text.data(), size_t(ext)) != 0;
  std::memcpy(display, text.data(), size_t(ext));
  if (msg) refuse(block, msg);
  return changed;
}

int cv_etoi(CvBlock* block) {
  if (!block || !block->item) return 0;
  CvItem* it = block->item;
  uint8_t* stored = it->int_addr.get();
  const char* display = it->ext_addr.get();
  int ext = it->ext_len, len = it->int_len, type = it->type;
  block->msg = 0;
  it->msg = 0;
  if (!stored || !display || len <= 0) return refuse(block, kMsgNoFit);
  // The new value is built aside and stored only when it is complete.
  Scratch<uint8_t> work{size_t(len)};
  std::memcpy(work.data(), stored, size_t(len));
  Scratch<char> text{size_t(ext)};
  std::memcpy(text.data(), display, size_t(ext));
  uint32_t msg = 0;
  if (is_alpha(type)) {
    if (it->kind == 1 && it->xlate_mode == 1)
      xlate(it->app.str().c_str(), it->ver.str().c_str(), it->language.str().c_str(),
            it->token_name.str().c_str(), text.data(), size_t(ext), true);
    if (!alp_etoi(text.data(), ext, reinterpret_cast<char*>(work.data()), len, it->mask.data(),
                  int(it->mask.len()), it->justify, it->fill, it->squeeze, it->case_code, &msg))
      return refuse(block, msg);
    if (has_tokens(it) && it->token_handle && !blank(reinterpret_cast<char*>(work.data()), size_t(len))) {
      char key[30];
      std::memset(key, ' ', 30);
      size_t t = ut_buflen(work.data(), size_t(len));
      size_t b = 0;
      while (b < t && work[b] == ' ') ++b;
      std::memcpy(key, work.data() + b, (t - b) < 30 ? t - b : 30);
      const CvTokenRec* tok = cv_get_token(it->token_handle, key, 0, 2);
      if (!tok) return refuse(block, kMsgToken);
      std::memset(work.data(), ' ', size_t(len));
      size_t tl = tok->text.len();
      std::memcpy(work.data(), tok->text.data(), tl < size_t(len) ? tl : size_t(len));
    }
  } else if (type == 5 && has_tokens(it)) {
    if (blank(text.data(), size_t(ext))) {
      std::memset(work.data(), 0xFF, size_t(len));  // no token: the null value
    } else {
      if (it->kind == 1 && it->xlate_mode == 2)
        xlate(it->app.str().c_str(), it->ver.str().c_str(), it->language.str().c_str(),
              it->token_name.str().c_str(), text.data(), size_t(ext), true);
      char key[30];
      std::memset(key, ' ', 30);
      size_t b = 0, t = ut_buflen(text.data(), size_t(ext));
      while (b < t && text[b] == ' ') ++b;
      std::memcpy(key, text.data() + b, (t - b) < 30 ? t - b : 30);
      const CvTokenRec* tok = cv_get_token(it->token_handle, key, 0, 2);
      if (!tok) return refuse(block, kMsgToken);
      if (!put_token_number(work.data(), len, tok->number)) return refuse(block, kMsgNoFit);
    }
  } else if (is_num(type)) {
    CvNum n;
    int ok = block->num_plain ? cv_num_etoi(text.data(), ext, &n, &msg)
                              : cv_num_etoi_msk(block->num_mask, block->num_mask_len, text.data(), ext, &n, &msg);
    if (!ok) return refuse(block, msg);
    if (!cv_num_put(type, work.data(), len, it->digits, it->decimals, it->sign == '1' || type == 12, n, &msg))
      return refuse(block, msg);
  } else if (type == 11) {
    char c;
    if (!cv_log_etoi(text.data(), ext, &c, &msg)) return refuse(block, msg);
    work[0] = uint8_t(c);
  } else if (is_date(type)) {
    DateDesc d;
    date_desc(block, work.data(), &d);
    if (!cv_date_etoi(&d, text.data(), size_t(ext), &msg)) return refuse(block, msg ? msg : kMsgBadDate);
  } else {
    return refuse(block, kMsgBadType);
  }
  std::memcpy(stored, work.data(), size_t(len));
  return 1;
}

int cv_get_universal(CvBlock* block, int direction, int* in_com, MmPool pool) {
  if (!block || !block->item) return 0;
  CvItem* it = block->item;
  int type = it->type, len = it->int_len, ext = it->ext_len;
  if (in_com) *in_com = 0;
  block->msg = 0;
  it->msg = 0;
  MmPool p = pool ? pool : (block->pool ? block->pool : cv_pool());
  if (direction == 1) {
    const uint8_t* stored = it->int_addr.get();
    char* out = it->ext_addr.get();
    if (!stored || len <= 0) return refuse(block, kMsgNoFit);
    if (!out) {
      out = static_cast<char*>(MM_ALLOC(p, size_t(ext > 0 ? ext : 1)));
      it->ext_addr.set(out);
    }
    std::memset(out, ' ', size_t(ext));
    if (is_alpha(type)) {
      std::memcpy(out, stored, size_t(len < ext ? len : ext));
    } else if (type == 11) {
      out[0] = char(stored[0]);
    } else if (is_num(type) && !(type == 5 && has_tokens(it))) {
      CvNum n;
      if (!cv_num_get(type, stored, len, it->decimals, it->sign == '1' || type == 12, &n)) return refuse(block, kMsgNoFit);
      if (!cv_num_to_universal(n, out, ext)) return refuse(block, kMsgNoFit);
    } else if (type == 5) {
      int32_t v;
      bool null;
      if (!token_number(stored, len, &v, &null)) return refuse(block, kMsgNoFit);
      if (!null) {
        char b[16];
        int n = std::snprintf(b, sizeof b, "%d", v);
        if (n > ext) return refuse(block, kMsgNoFit);
        std::memcpy(out, b, size_t(n));
      }
    } else if (is_date(type)) {
      DateDesc d;
      date_desc(block, const_cast<uint8_t*>(stored), &d);
      if (!cv_ntos_date(&d)) return refuse(block, d.msg ? d.msg : kMsgBadDate);
      cv_date_to_universal(d.date, d.high, d.low, out, size_t(ext));
    } else {
      return refuse(block, kMsgBadType);
    }
    return 1;
  }

  const char* text = it->ext_addr.get();
  if (!text || len <= 0) return refuse(block, kMsgNoFit);
  // The value is made aside (a refusal leaves the target as it was), on the
  // stack for the usual lengths.
  uint8_t small[256];
  std::vector<uint8_t> large;
  uint8_t* work = small;
  if (size_t(len) > sizeof small) {
    large.resize(size_t(len));
    work = large.data();
  }
  std::memset(work, 0, size_t(len));
  uint32_t msg = 0;
  int tl = ext;
  if (is_alpha(type)) {
    std::memset(work, ' ', size_t(len));
    size_t t = ut_buflen(text, size_t(tl));
    if (t > size_t(len)) return refuse(block, kMsgNoFit);
    std::memcpy(work, text, t);
    if (has_tokens(it) && it->token_handle && t > 0) {
      char key[30];
      std::memset(key, ' ', 30);
      std::memcpy(key, text, t < 30 ? t : 30);
      if (!cv_get_token(it->token_handle, key, 0, 2)) return refuse(block, kMsgToken);
    }
  } else if (type == 11) {
    char c;
    size_t t = ut_buflen(text, size_t(tl));
    if (t > 1) return refuse(block, 200080);
    char v = t ? text[0] : ' ';
    if (v == '1' || v == 'Y' || v == 'y') c = '1';
    else if (v == '0' || v == 'N' || v == 'n') c = '0';
    else if (v == ' ') c = ' ';
    else return refuse(block, 200080);
    work[0] = uint8_t(c);
  } else if (type == 5 && has_tokens(it)) {
    // A token field's literal is the token's number (blank or -1: none).
    CvNum n;
    if (!cv_num_universal(text, tl, &n, &msg) || n.scale != 0) return refuse(block, msg ? msg : kMsgToken);
    if (n.value == -1 || blank(text, size_t(tl))) std::memset(work, 0xFF, size_t(len));
    else if (!put_token_number(work, len, int32_t(n.value))) return refuse(block, kMsgNoFit);
  } else if (is_num(type)) {
    CvNum n;
    if (!cv_num_universal(text, tl, &n, &msg)) return refuse(block, msg);
    if (!cv_num_put(type, work, len, it->digits, it->decimals, it->sign == '1' || type == 12, n, &msg))
      return refuse(block, msg);
  } else if (is_date(type)) {
    DateDesc d;
    date_desc(block, work, &d);
    if (!cv_date_from_universal(text, size_t(tl), d.date)) return refuse(block, kMsgBadDate);
    if (!cv_date_is_high(d.date)) {
      cv_date_clear_parts(&d);
      if (!cv_date_check(d.date, d.high, d.low)) return refuse(block, kMsgBadDate);
    }
    if (!cv_ston_date(&d)) return refuse(block, d.msg ? d.msg : kMsgBadDate);
  } else {
    return refuse(block, kMsgBadType);
  }

  // Where the value goes: the caller's field, a constant of the common
  // block with the same bytes, or a new block of the pool.
  uint8_t* target = it->int_addr.get();
  if (!target && in_com) {
    const uint8_t* hit = nullptr;
    if ((is_alpha(type) || type == 11 || (is_date(type) && (type == 3 || type == 4))) && len <= 256 &&
        blank(reinterpret_cast<const char*>(work), size_t(len)))
      hit = reinterpret_cast<const uint8_t*>(com.blanks.data());
    else if (type == 8 && len == 8) {
      for (const uint8_t* c : {com.pd_zero.data(), com.pd_one.data(), com.pd_minus_one.data()})
        if (std::memcmp(c, work, 8) == 0) hit = c;
    }
    if (hit) {
      it->int_addr.set(const_cast<uint8_t*>(hit));
      *in_com = 1;
      return 1;
    }
  }
  if (!target) {
    target = static_cast<uint8_t*>(MM_ALLOC(p, size_t(len)));
    it->int_addr.set(target);
  }
  std::memcpy(target, work, size_t(len));
  return 1;
}

// ======================================================= translations --

int cv_set_xlate(CvItem* item, const char* lang, const char* app, const char* ver, const char* element,
                 int mode) {
  if (!item || item->kind != 1) return 1;
  item->xlate_mode = uint8_t(mode);
  item->language.set(lang ? std::string_view(lang, std::strlen(lang) < 3 ? std::strlen(lang) : 3) : "");
  item->app.set(app ? std::string_view(app, std::strlen(app) < 3 ? std::strlen(app) : 3) : "");
  item->ver.set(ver ? std::string_view(ver, std::strlen(ver) < 2 ? std::strlen(ver) : 2) : "");
  item->token_name.set(element ? std::string_view(element, std::strlen(element) < 22 ? std::strlen(element) : 22) : "");
  return 1;
}

void cv_add_xlate(const char* app, const char* ver, const char* lang, const char* table, const char* from,
                  const char* to) {
  XlateTable& t = xlate_tables()[xlate_key(app, ver, lang, table)];
  std::string f = trim(from, std::strlen(from)), g = trim(to, std::strlen(to));
  t.to[f] = g;
  t.from[g] = f;
}

int cv_xlate_text(const char* app, const char* ver, const char* lang, const char* table, char* text,
                  size_t length) {
  return xlate(app, ver, lang, table, text, length, false);
}

// ============================================================== tokens --

uint16_t cv_load_token(const char* app, const char* ver_or_lang, int flag, const char* group) {
  if (!app || !group) return 0;
  TokenCache& c = tokens();
  std::string a = fixed(app, 3), v = fixed(ver_or_lang, flag == 1 ? 3 : 2), g = fixed(group, 22);
  for (size_t i = 0; i < c.lists.size(); ++i) {
    const TokenList& l = c.lists[i];
    if (l.app == a && l.ver == v && l.group == g && l.flag == flag) return uint16_t(i + 1);
  }
  // The file: version "00" for the system applications; with a language,
  // the current version of the application.
  std::string fver = IS_ZUB_AP(a.c_str()) ? std::string("00") : (flag == 1 ? com.cur_ver.str() : v);
  fver = fixed(fver.c_str(), 2);
  TokenList list{a, v, g, flag, {}};
  if (!c.files) {
    // Without the file manager there is no TOKEN file to open.
    checkstat(200340, "cv_load_token() - Bad TOKEN file open ", "CV", __LINE__);
    return 0;
  }
  if (!c.files->read_group(a, fver, g, &list.recs)) return 0;
  if (flag == 1) {
    for (CvTokenRec& r : list.recs) {
      char t[30];
      std::memcpy(t, r.text.data(), 30);
      if (xlate(a.c_str(), fver.c_str(), v.c_str(), g.c_str(), t, 30, false)) r.text.set(std::string_view(t, 30));
    }
  }
  if (list.recs.size() > 65535) list.recs.resize(65535);
  if (c.lists.size() >= 65535) return 0;
  c.lists.push_back(std::move(list));
  return uint16_t(c.lists.size());
}

const CvTokenRec* cv_get_token(uint16_t handle, const char* text, int32_t value, int mode) {
  TokenCache& c = tokens();
  if (handle == 0 || handle > c.lists.size()) return nullptr;
  const TokenList& l = c.lists[handle - 1];
  if (mode == 1) {
    for (const CvTokenRec& r : l.recs)
      if (r.number.get() == value) return &r;
    return nullptr;
  }
  if (!text) return nullptr;
  auto up = [](char ch) { return (ch >= 'a' && ch <= 'z') ? char(ch - 32) : ch; };
  for (const CvTokenRec& r : l.recs) {
    bool eq = true;
    for (int i = 0; i < 30 && eq; ++i) eq = up(r.text[size_t(i)]) == up(text[i]);
    if (eq) return &r;
  }
  return nullptr;
}

size_t cv_token_count(uint16_t handle) {
  TokenCache& c = tokens();
  if (handle == 0 || handle > c.lists.size()) return 0;
  return c.lists[handle - 1].recs.size();
}

void cv_close_token() {
  TokenCache& c = tokens();
  if (c.files) c.files->close();
}

void cv_set_token_files(const CvTokenFiles* files) {
  TokenCache& c = tokens();
  if (c.files && c.files != files) c.files->close();
  c.files = files;
}
