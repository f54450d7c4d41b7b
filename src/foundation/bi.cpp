#include "foundation/bi.h"

#include "foundation/cvdat.h"
#include "foundation/pd.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {
ComArea* make_com() {
  void* p = arena::alloc_chunk(sizeof(ComArea));
  auto* c = static_cast<ComArea*>(p);
  return c;
}

// Packed value of v in n bytes with the given sign nibbles.
void put_packed(uint8_t* out, size_t n, long long v, uint8_t pos, uint8_t neg) {
  std::memset(out, 0, n);
  bool negative = v < 0;
  unsigned long long u = negative ? 0ull - (unsigned long long)v : (unsigned long long)v;
  out[n - 1] = uint8_t(((u % 10) << 4) | (negative ? neg : pos));
  u /= 10;
  for (size_t i = n - 1; i-- > 0 && u;) {
    out[i] = uint8_t(u % 10);
    u /= 10;
    out[i] |= uint8_t((u % 10) << 4);
    u /= 10;
  }
}

void set_name(rec::Text<10>& full, rec::U8& len, rec::Text<3>& abbr, const char* s) {
  full.set(s);
  len = uint8_t(std::strlen(s));
  abbr.set(std::string_view(s, 3));
}
}  // namespace

ComArea& com = *make_com();

void bi_set_char_class(ComArea* c, uint8_t fill) {
  for (int ch = 0; ch < 256; ++ch) {
    uint8_t cls = kChrOther;
    if (ch == ' ') cls = kChrBlank;
    else if (ch >= '0' && ch <= '9') cls = kChrDigit;
    else if ((ch >= 33 && ch <= 126) || (ch >= 161 && ch <= 254)) cls = kChrPrint;
    c->char_class[size_t(ch)] = cls;
  }
  c->char_class[fill] = kChrFill;
  c->char_class[c->para_mark.get()] = kChrReserved;
}

void bi_init_com() {
  ComArea& c = com;
  std::memset(&c, 0, sizeof c);
  c.blanks.clear();
  c.pd_pos = 0x0C;
  c.pd_neg = 0x0D;
  put_packed(c.pd_minus_one.b, 8, -1, 0x0C, 0x0D);
  put_packed(c.pd_zero.b, 8, 0, 0x0C, 0x0D);
  put_packed(c.pd_one.b, 8, 1, 0x0C, 0x0D);
  put_packed(c.pd_day_hundredths.b, 8, 8640000, 0x0C, 0x0D);
  put_packed(c.pd_zero16.b, 16, 0, 0x0C, 0x0D);
  pd_signs_changed();

  for (auto* t : {&c.user_id, &c.startup_db, &c.cur_db, &c.cur_app, &c.stat_db, &c.stat_app, &c.language})
    t->clear();
  c.cur_ver.clear();
  c.stat_ver.clear();
  c.login.clear();
  c.user_rec.zero();

  static const char* const types[10] = {"Menu", "Input", "Output", "Action", "Query",
                                        "Subrout", "Update", "Job", "Inquiry", "Status"};
  for (int i = 0; i < 10; ++i) c.proc_type_names[i].set(types[i]);
  c.warning_label.set("WARNING");
  c.warning_len = 7;
  c.error_label.set("ERROR");
  c.error_len = 5;
  static const char* const days[7] = {"Sunday", "Monday", "Tuesday", "Wednesday",
                                      "Thursday", "Friday", "Saturday"};
  for (int i = 0; i < 7; ++i) set_name(c.day_full[i], c.day_len[i], c.day_abbr[i], days[i]);
  static const char* const months[12] = {"January", "February", "March", "April", "May", "June", "July",
                                         "August", "September", "October", "November", "December"};
  for (int i = 0; i < 12; ++i) set_name(c.month_full[i], c.month_len[i], c.month_abbr[i], months[i]);

  c.rows = 24;
  c.cols = 80;
  c.panning = 1;
  c.term_name.clear();
  c.dec_sep = '.';
  c.thou_sep = ',';
  c.currency.set("$");
  c.para_mark = 182;
  c.fill_char = ' ';
  c.log_true = 'Y';
  c.log_false = 'N';
  c.join_char = '~';
  static const char* const rels[7] = {"EQ", "GE", "GT", "LE", "LT", "NE", "IN"};
  for (int i = 0; i < 7; ++i) c.rel_codes[i].set(rels[i]);
  bi_set_char_class(&c, '_');
  c.traps_off = std::getenv("QUVO_DB_TRAPS") ? 0 : 1;
  cv_date_init();
}
