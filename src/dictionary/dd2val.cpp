// Values of the dictionary compiler: the INITIAL and NULL record images,
// text to binary, BITMAP numbers (see dd1.h).
#include <algorithm>
#include <cstring>

#include "dictionary/dd1.h"
#include "foundation/bi.h"
#include "foundation/cvdat.h"
#include "foundation/os.h"
#include "foundation/pd.h"
#include "foundation/ut.h"

namespace {

const char kMod[] = "DD2";

[[noreturn]] void sys_err(int line, const char* text) {
  os_sys_err_text(kMod, line, text);
  ut_unwind(3);
}

void put_bin(uint8_t* at, int size, int64_t v) {
  auto u = uint64_t(v);
  int n = size == 1 ? 1 : size == 2 ? 2 : 4;
  for (int i = 0; i < n; ++i) at[i] = uint8_t(u >> (8 * i));
}

// Bytes a binary element's value takes: 1, 2, or its occurrence length.
int bin_size(const DElem& e) { return e.length == 1 ? 1 : e.length == 2 ? 2 : int(e.length.get()); }

void err_field(DdRun* r, uint32_t msg, const DElem& e) { dd_err(r, msg, 3, e.name.data(), 22); }

}  // namespace

int bin_etoi(const char* text, void* result, int decimals, int len, int size, bool is_signed,
             uint32_t* msg, int64_t* value) {
  // The value is accumulated in 64 bits and stopped well before it could
  // overflow: anything past the 32-bit range cannot fit any size.
  constexpr int64_t kStop = int64_t(1) << 40;
  int64_t v = 0;
  bool neg = false, point = false, big = false;
  int dec = 0;
  for (int i = 0; i < len; ++i) {
    char c = text[i];
    if (c >= '0' && c <= '9') {
      if (v < kStop) v = v * 10 + (c - '0');
      else big = true;
      if (point) ++dec;
    } else if (c == '-') {
      neg = true;
    } else if (c == '.' && !point) {
      point = true;
    } else {
      *msg = 100350;
      return 0;
    }
  }
  if (dec > decimals) {
    *msg = 100790;
    return 0;
  }
  for (; dec < decimals && !big; ++dec) {
    if (v < kStop) v *= 10;
    else big = true;
  }
  if (neg) v = -v;
  if (neg && !is_signed && v != 0) {
    *msg = 100550;
    return 0;
  }
  int64_t lo, hi;
  switch (size) {
    case 1: lo = is_signed ? -128 : 0; hi = is_signed ? 127 : 255; break;
    case 2: lo = is_signed ? -32768 : 0; hi = is_signed ? 32767 : 65535; break;
    case 0: case 4: lo = is_signed ? INT32_MIN : 0; hi = is_signed ? INT32_MAX : int64_t(UINT32_MAX); break;
    default: sys_err(__LINE__, "dd2, bin_etoi entered default in switch");
  }
  if (big || v < lo || v > hi) {
    *msg = 100680;
    return 0;
  }
  if (result) put_bin(static_cast<uint8_t*>(result), size, v);
  if (value) *value = v;
  return 1;
}

bool null_etoi(DdRun* r, DdMelem* m) { return null_etoi_img(r, m, r->null_img.data()); }
bool init_etoi(DdRun* r, DdMelem* m) { return init_etoi_img(r, m, r->init_img.data(), r->null_img.data()); }

bool null_etoi_img(DdRun* r, DdMelem* m, uint8_t* img) {
  DElem& e = m->e;
  uint8_t* at = img + e.offset.get();
  int len = e.length;
  const char* nt = e.null_value.data();
  int nl = int(dd_trim_len(nt, 33));
  while (nl > 0 && *nt == ' ') ++nt, --nl;
  switch (e.type.get()) {
    case 1: case 3: case 4: case 11: case 15: return true;
    case 5: {
      int size = bin_size(e);
      if (e.token_mark != 0) {
        std::memset(at, 0xFF, size_t(size));
        return true;
      }
      uint32_t msg = 0;
      if (nl == 0) {
        std::memset(at, 0, size_t(size));
        return true;
      }
      if (!bin_etoi(nt, at, e.decimals, nl, size, e.sign == '1', &msg)) {
        err_field(r, msg, e);
        return false;
      }
      return true;
    }
    case 6: case 7:
      std::memset(at, 0xFF, std::min<size_t>(size_t(len), m->segs == 2 ? 8 : 4));
      return true;
    case 8: case 12: {
      uint8_t buf[16] = {};
      int plen = e.type == 12 ? 8 : len;
      if (plen < 1 || plen > 16) sys_err(__LINE__, "null_etoi() - bad packed length");
      PdCva cv{buf, plen, 0};
      if (!pd_cva(nl ? nt : " ", nl ? nl : 1, '.', &cv)) {
        err_field(r, 100460, e);
        return false;
      }
      std::memcpy(at, buf, size_t(plen));
      if (e.type == 12) at[8] = uint8_t(cv.scale);
      return true;
    }
    case 9: case 10:
      if (!pd_cvp(at, len, -1)) sys_err(__LINE__, "null_etoi() - bad packed length");
      return true;
    default: sys_err(__LINE__, "dd2, null_etoi entered default in switch");
  }
}

namespace {

// Alpha initial value without a mask, blanks kept: the text placed by the
// justification, never outside the field.
void alpha_place(const DElem& e, const char* text, uint8_t* at) {
  int len = e.length;
  std::memset(at, e.fill, size_t(len));
  int t = int(dd_trim_len(text, 60));
  int b = 0;
  while (b < t && text[b] == ' ') ++b;
  if (len <= b) return;
  int n = t - b;
  int start;
  switch (e.justify.get()) {
    case 0: start = b; break;
    case 1: start = 0; break;
    case 2: case 3: start = len - n; break;
    case 4: start = (len - n) / 2; break;
    default: sys_err(__LINE__, "dd2, init_etoi entered default in switch");
  }
  // A text longer than the field starts at the field's start and is cut.
  start = std::max(start, 0);
  n = std::min({n, len - b, len - start});
  if (n > 0) std::memcpy(at + start, text + b, size_t(n));
}

// Alpha initial value, squeezed: runs of blanks as one blank, the joining
// character taking the blank before it and the blanks after it.
void alpha_squeeze(const DElem& e, const char* text, uint8_t* at) {
  int len = e.length;
  std::memset(at, ' ', size_t(len));
  char join = char(com.join_char);
  int i = 0, o = 0;
  while (i < 60 && text[i] == ' ') ++i;
  bool after_join = false;
  for (; i < 60 && o < len; ++i) {
    char c = text[i];
    if (c == ' ') {
      if (after_join || (o > 0 && at[o - 1] == ' ')) continue;
      at[o++] = ' ';
    } else if (c == join && o > 0 && at[o - 1] == ' ') {
      at[o - 1] = uint8_t(join);
      after_join = true;
    } else {
      at[o++] = uint8_t(c);
      after_join = c == join;
    }
  }
}

}  // namespace

bool init_etoi_img(DdRun* r, DdMelem* m, uint8_t* img, const uint8_t* null_img) {
  DElem& e = m->e;
  uint8_t* at = img + e.offset.get();
  int len = e.length;
  const char* t = e.initial.data();
  int tl = int(dd_trim_len(t, 60));
  if (tl == 0 || dd_blank(t, 60)) {
    std::memcpy(at, null_img + e.offset.get(), size_t(len));
    return true;
  }
  const char* nt = t;
  int nl = tl;
  while (nl > 0 && *nt == ' ') ++nt, --nl;
  auto bad = [&](bool fail) {
    err_field(r, 100380, e);
    std::memcpy(at, null_img + e.offset.get(), size_t(len));
    return !fail;
  };
  switch (e.type.get()) {
    case 1:
      if (!dd_blank(e.mask.data(), 60)) {
        std::memset(at, ' ', size_t(len));
        int n = std::min(int(dd_trim_len(e.mask.data(), 60)), len);
        std::memcpy(at, t, size_t(n));
      } else if (e.squeeze == '0') {
        alpha_place(e, t, at);
      } else {
        alpha_squeeze(e, t, at);
      }
      return true;
    case 3: case 4: case 6: case 7: case 9: case 10: case 15: {
      uint8_t mask[60];
      std::memcpy(mask, e.mask.data(), 60);
      DateDesc d;
      d.mask = mask;
      d.mask_len = 60;
      d.high = e.digits;
      d.low = e.decimals;
      d.type = e.type;
      if (!cv_cmpl_date_msk(&d)) sys_err(__LINE__, "init_etoi() - bad element mask");
      if (d.len != len) sys_err(__LINE__, "init_etoi() - bad element length");
      if (d.high > e.digits || d.low < e.decimals) sys_err(__LINE__, "init_etoi() - bad element mask");
      d.high = e.digits;
      d.low = e.decimals;
      char text[16];
      std::memset(text, ' ', 16);
      std::memcpy(text, nt, size_t(std::min(nl, 16)));
      DateDesc u;
      UNIVERSAL_DATE(&u, text, 16);
      uint8_t value[16];
      std::memcpy(value, at, size_t(std::min(len, 16)));
      if (nl > 16 || !cv_ntos_date(&u)) return bad(false);
      std::memcpy(d.date, u.date, 8);
      d.value = value;
      if (!cv_ston_date(&d)) return bad(false);
      std::memcpy(at, value, size_t(len));
      return true;
    }
    case 5: {
      int size = bin_size(e);
      if (e.token_mark != 0) {
        auto* tok = static_cast<CvTokenRec*>(MM_ALLOC(r->pool, sizeof(CvTokenRec)));
        std::memset(tok, ' ', sizeof(CvTokenRec));
        tok->cls = 0;
        std::memcpy(tok->group.data(), e.domain.data(), 22);
        std::memcpy(tok->text.data(), t, std::min<size_t>(size_t(tl), 30));
        int32_t num = -1;
        if (r->token) {
          PROTO_FULL(r->token, 1, reinterpret_cast<uint8_t*>(tok));
          r->token->op = FM_OP_EQUAL;
          if (fm_read(r->token)) num = tok->number;
          else if (r->token->status != FM_ST_NO_RECORD)
            dd_fail(r->token->status, "Bad token read ", kMod, __LINE__);
        }
        mm_free(tok);
        if (num < 0) std::memset(at, 0xFF, size_t(size));
        else put_bin(at, size, num);
        return true;
      }
      uint32_t msg = 0;
      if (!bin_etoi(nt, at, e.decimals, nl, size, e.sign == '1', &msg)) {
        err_field(r, msg, e);
        std::memcpy(at, null_img + e.offset.get(), size_t(len));
        return false;
      }
      return true;
    }
    case 8: case 12: {
      uint8_t buf[16] = {};
      int plen = e.type == 12 ? 8 : len;
      PdCva cv{buf, plen, 0};
      if (!pd_cva(nt, nl, '.', &cv)) return bad(e.type == 12);
      if (e.type == 8 && cv.scale != e.decimals && !pd_shft(buf, plen, int(e.decimals) - cv.scale))
        return bad(false);
      std::memcpy(at, buf, size_t(plen));
      if (e.type == 12) at[8] = uint8_t(cv.scale);
      return true;
    }
    case 11: {
      char c = nt[0];
      if (nl != 1) return bad(false);
      if (c == '1' || c == 'Y') at[0] = '1';
      else if (c == '0' || c == 'N') at[0] = '0';
      else return bad(false);
      return true;
    }
    default: sys_err(__LINE__, "dd2, init_etoi entered default in switch");
  }
}

// ------------------------------------------------------------- BITMAP --

namespace {

bool read_page(DdRun* r, DBitmap* b, uint32_t cls, uint32_t page, bool hold) {
  b->cls = cls;
  b->page = page;
  PROTO_FULL(r->bitmap, 0, reinterpret_cast<uint8_t*>(b));
  r->bitmap->op = uint16_t(FM_OP_EQUAL | (hold ? FM_OP_HOLD | FM_OP_WAIT : 0));
  if (fm_read(r->bitmap)) return true;
  if (r->bitmap->status != FM_ST_NO_RECORD) dd_fail(r->bitmap->status, "Bitmap read", kMod, __LINE__);
  return false;
}

void new_page(DdRun* r, DBitmap* b, uint32_t cls, uint32_t page) {
  std::memset(b, 0, sizeof *b);
  b->cls = cls;
  b->page = page;
  PROTO_FULL(r->bitmap, 0, reinterpret_cast<uint8_t*>(b));
  if (!fm_write(r->bitmap)) dd_fail(r->bitmap->status, "Bad bitmap write ", kMod, __LINE__);
}

}  // namespace

int bit_find(DdRun* r, uint32_t* number, uint32_t cls) {
  auto* b = static_cast<DBitmap*>(MM_ALLOC(r->pool, sizeof(DBitmap)));
  struct Free {
    DBitmap* b;
    ~Free() { mm_free(b); }
  } hold{b};
  if (!read_page(r, b, cls, 1, false)) {
    new_page(r, b, cls, 1);
    if (!read_page(r, b, cls, 1, false)) dd_fail(r->bitmap->status, "Read bitmap fi", kMod, __LINE__);
  }
  uint32_t highest = b->highest;
  if (*number != 0 && *number <= highest) return 1;
  for (uint32_t page = 1;; ++page) {
    if (uint64_t(page - 1) * 400 >= 999999) {
      dd_err(r, 100820, 1, r->fi ? r->fi->name.data() : r->name, 8);
      return 0;
    }
    if (!read_page(r, b, cls, page, true)) {
      new_page(r, b, cls, page);
      if (!read_page(r, b, cls, page, true)) dd_fail(r->bitmap->status, "Bad bitmap read", kMod, __LINE__);
    }
    uint8_t* bits = b->bits.data();
    for (int byte = 0; byte < 50; ++byte) {
      if (bits[byte] == 255) continue;
      int bit = 0;
      while (bits[byte] & (1u << bit)) ++bit;
      uint32_t n = (page - 1) * 400 + uint32_t(byte * 8 + bit + 1);
      if (n > 999999) {
        fm_release(r->bitmap);
        dd_err(r, 100820, 1, r->fi ? r->fi->name.data() : r->name, 8);
        return 0;
      }
      bits[byte] = uint8_t(bits[byte] | (1u << bit));
      if (!fm_rewrite(r->bitmap)) dd_fail(r->bitmap->status, "Bitmap rewrite ", kMod, __LINE__);
      if (n > highest) {
        if (!read_page(r, b, cls, 1, true)) dd_fail(r->bitmap->status, "Bitmap read", kMod, __LINE__);
        b->highest = n;
        if (!fm_rewrite(r->bitmap)) dd_fail(r->bitmap->status, "Bad bitmap rewrite ", kMod, __LINE__);
      }
      *number = n;
      return 1;
    }
    fm_release(r->bitmap);
  }
}

void bit_free(DdRun* r, uint32_t number, uint32_t cls) {
  if (number == 0) return;
  auto* b = static_cast<DBitmap*>(MM_ALLOC(r->pool, sizeof(DBitmap)));
  uint32_t page = (number - 1) / 400 + 1;
  if (read_page(r, b, cls, page, true)) {
    uint32_t i = (number - 1) % 400;
    b->bits.b[i / 8] = uint8_t(b->bits.b[i / 8] & ~(1u << (i % 8)));
    if (!fm_rewrite(r->bitmap)) dd_fail(r->bitmap->status, "Bad BITMAP write", "DD1", __LINE__);
  }
  mm_free(b);
}

// ------------------------------------------------------------ INITIAL --

void dd_write_images(DdRun* r, FmArb* init, const char* file, const std::vector<uint8_t>& ini,
                     const std::vector<uint8_t>& nul) {
  auto* rec = static_cast<DInit*>(MM_ALLOC(r->pool, sizeof(DInit)));
  struct Free {
    DInit* p;
    ~Free() { mm_free(p); }
  } hold{rec};
  // Every old piece of the file goes first.
  std::memset(rec, 0, sizeof *rec);
  std::memcpy(rec->file.data(), file, 8);
  PROTO_FULL(init, 0, reinterpret_cast<uint8_t*>(rec));
  init->key.set(reinterpret_cast<uint8_t*>(rec->file.data()));
  init->key_len = 8;
  init->op = FM_OP_AT | FM_OP_KEY;
  if (!fm_start(init)) dd_fail(init->status, "Bad init attach", kMod, __LINE__);
  for (;;) {
    init->op = FM_OP_HOLD;
    init->rec_len = sizeof(DInit);
    if (!fm_rdnxt(init)) {
      if (init->status != FM_ST_EOF) dd_fail(init->status, "Bad init del_all", kMod, __LINE__);
      break;
    }
    if (std::memcmp(rec->file.data(), file, 8) != 0) {
      fm_release(init);
      break;
    }
    if (!fm_del(init)) dd_fail(init->status, "Bad init del_all", kMod, __LINE__);
  }
  size_t len = ini.size();
  size_t pieces = (len + DINIT_PIECE - 1) / DINIT_PIECE;
  for (size_t p = 0; p < pieces; ++p)
    for (int kind = 1; kind <= 2; ++kind) {
      const std::vector<uint8_t>& img = kind == 1 ? ini : nul;
      size_t n = std::min<size_t>(DINIT_PIECE, len - p * DINIT_PIECE);
      std::memcpy(rec->file.data(), file, 8);
      rec->kind = uint8_t(kind);
      rec->seq = uint32_t(p + 1);
      std::memcpy(rec->data.data(), img.data() + p * DINIT_PIECE, n);
      PROTO_FULL(init, 0, reinterpret_cast<uint8_t*>(rec));
      init->rec_len = uint16_t(DINIT_HEAD + n);
      if (!fm_write(init)) dd_fail(init->status, "bad INIT file write", kMod, __LINE__);
    }
}
