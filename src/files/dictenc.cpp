// Field encoders (see dictenc.h).
#include "files/dictenc.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "foundation/bi.h"
#include "foundation/cvdat.h"
#include "foundation/pd.h"

namespace {

constexpr int32_t kDay1970 = 719163;  // day number of 1970-01-01

bool parse_int(std::string_view t, long long* v) {
  if (t.empty() || t.size() > 20) return false;
  size_t i = 0;
  bool neg = false;
  if (t[0] == '-' || t[0] == '+') {
    neg = t[0] == '-';
    i = 1;
  }
  if (i == t.size()) return false;
  unsigned long long acc = 0;
  for (; i < t.size(); ++i) {
    if (t[i] < '0' || t[i] > '9') return false;
    acc = acc * 10 + unsigned(t[i] - '0');
    if (acc > (1ULL << 40)) return false;
  }
  *v = neg ? -(long long)acc : (long long)acc;
  return true;
}

void put_le(uint8_t* p, int w, uint64_t v) {
  for (int i = 0; i < w; ++i) p[i] = uint8_t(v >> (8 * i));
}
uint64_t get_le(const uint8_t* p, int w) {
  uint64_t v = 0;
  for (int i = w - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

std::string_view trim(std::string_view t) {
  while (!t.empty() && t.front() == ' ') t.remove_prefix(1);
  while (!t.empty() && t.back() == ' ') t.remove_suffix(1);
  return t;
}

bool fail(std::string* err, const DictField& f, const char* what, std::string_view text) {
  if (err) *err = std::string(f.name) + ": " + what + " (\"" + std::string(text) + "\")";
  return false;
}

// "YYYY-MM-DD[( |T)HH:MM:SS[.hh]]" to day number and hundredths.
bool parse_date(std::string_view t, int32_t* day, uint32_t* hund) {
  int y, mo, d, h = 0, mi = 0, s = 0, c = 0;
  auto num = [&](size_t at, size_t n, int* out) {
    if (at + n > t.size()) return false;
    int v = 0;
    for (size_t i = at; i < at + n; ++i) {
      if (t[i] < '0' || t[i] > '9') return false;
      v = v * 10 + (t[i] - '0');
    }
    *out = v;
    return true;
  };
  if (t.size() < 10 || !num(0, 4, &y) || t[4] != '-' || !num(5, 2, &mo) || t[7] != '-' || !num(8, 2, &d))
    return false;
  if (t.size() > 10) {
    if ((t[10] != 'T' && t[10] != ' ') || t.size() < 19 || !num(11, 2, &h) || t[13] != ':' ||
        !num(14, 2, &mi) || t[16] != ':' || !num(17, 2, &s))
      return false;
    if (t.size() > 19) {
      if (t.size() != 22 || t[19] != '.' || !num(20, 2, &c)) return false;
    }
  }
  if (h > 23 || mi > 59 || s > 59) return false;
  if (!dict_days_from_civil(y, mo, d, day)) return false;
  *hund = uint32_t(((h * 60 + mi) * 60 + s) * 100 + c);
  return true;
}

}  // namespace

bool dict_days_from_civil(int y, int m, int d, int32_t* day) {
  using namespace std::chrono;
  if (y < 1 || y > 9999) return false;
  year_month_day ymd{year{y}, month{unsigned(m)}, std::chrono::day{unsigned(d)}};
  if (!ymd.ok()) return false;
  *day = int32_t(sys_days(ymd).time_since_epoch().count()) + kDay1970;
  return true;
}

bool dict_encode(const DictField& f, int occ, std::string_view text, uint8_t* rec, std::string* err) {
  if (occ < 0 || occ >= f.occurs) return fail(err, f, "no such occurrence", text);
  uint8_t* p = rec + f.offset + size_t(occ) * f.width;
  if (trim(text).empty() && f.type != kFtAlpha) {
    uint8_t img[64];
    if (f.width <= sizeof img) {
      DictField one = f;
      one.offset = 0;
      one.occurs = 1;
      dict_image(&one, 1, 1, img, f.width);
      std::memcpy(p, img, f.width);
      return true;
    }
    std::memset(p, 0, f.width);
    return true;
  }
  switch (f.type) {
    case kFtAlpha:
      if (text.size() > f.width) return fail(err, f, "longer than the field", text);
      std::memset(p, ' ', f.width);
      std::memcpy(p, text.data(), text.size());
      return true;
    case kFtBinary: {
      long long v;
      if (!parse_int(trim(text), &v)) return fail(err, f, "not a whole number", text);
      long long lo = -(1LL << (8 * f.width - 1)), hi = (1LL << (8 * f.width)) - 1;
      if (v < lo || v > hi) return fail(err, f, "out of range for its width", text);
      put_le(p, f.width, uint64_t(v));
      return true;
    }
    case kFtDate: {
      std::string_view t = trim(text);
      if (t == "NULL") {
        std::memset(p, 0xFF, f.width);
        return true;
      }
      int32_t day;
      uint32_t hund;
      if (!parse_date(t, &day, &hund)) return fail(err, f, "not a date (YYYY-MM-DD[THH:MM:SS[.hh]])", text);
      if (f.width != 8 && hund) return fail(err, f, "a 4-byte date holds no time", text);
      put_le(p, 4, uint32_t(day));
      if (f.width == 8) put_le(p + 4, 4, hund);
      return true;
    }
    case kFtPacked: {
      std::string_view t = trim(text);
      long long v;
      if (!parse_int(t, &v)) return fail(err, f, "not a whole number", text);
      uint8_t buf[16];
      PdCva out{buf, int(f.width), 0};
      if (!pd_cva(t.data(), int(t.size()), '.', &out)) return fail(err, f, "does not fit the field", text);
      std::memcpy(p, buf, f.width);
      return true;
    }
    case kFtOpaque: {
      std::string_view t = trim(text);
      if (t.size() % 2 || t.size() / 2 > f.width) return fail(err, f, "not hexadecimal bytes of the field", text);
      std::memset(p, 0, f.width);
      for (size_t i = 0; i < t.size(); i += 2) {
        unsigned v;
        char two[3] = {t[i], t[i + 1], 0};
        char* end;
        v = unsigned(std::strtoul(two, &end, 16));
        if (*end || !std::isxdigit(static_cast<unsigned char>(two[0]))) return fail(err, f, "not hexadecimal", text);
        p[i / 2] = uint8_t(v);
      }
      return true;
    }
    default: return fail(err, f, "unknown data type", text);
  }
}

bool dict_encode_named(const DictRecDesc& r, std::string_view name, std::string_view text, uint8_t* rec,
                       std::string* err) {
  int occ = 0;
  std::string base(name);
  size_t br = base.find('[');
  if (br != std::string::npos) {
    long long v;
    if (base.back() != ']' || !parse_int(std::string_view(base).substr(br + 1, base.size() - br - 2), &v) ||
        v < 1 || v > 65535) {
      if (err) *err = "bad occurrence in " + base;
      return false;
    }
    occ = int(v - 1);
    base.resize(br);
  }
  const DictField* f = dict_field_find(&r, base.c_str());
  if (!f) {
    if (err) *err = "no field " + base + " in " + std::string(r.file, 8);
    return false;
  }
  return dict_encode(*f, occ, text, rec, err);
}

std::string dict_decode(const DictField& f, int occ, const uint8_t* rec) {
  const uint8_t* p = rec + f.offset + size_t(occ) * f.width;
  char buf[64];
  switch (f.type) {
    case kFtAlpha: {
      std::string s(reinterpret_cast<const char*>(p), f.width);
      while (!s.empty() && s.back() == ' ') s.pop_back();
      return s;
    }
    case kFtBinary: {
      uint64_t v = get_le(p, f.width);
      return std::to_string(v);
    }
    case kFtDate: {
      uint32_t day = uint32_t(get_le(p, 4));
      uint32_t h = f.width == 8 ? uint32_t(get_le(p + 4, 4)) : 0;
      if (day == 0xFFFFFFFFu) return "NULL";
      if (day == 0 && h == 0) return "";
      int y, m, d;
      if (!cv_civil_from_days(int32_t(day), &y, &m, &d)) return "NULL";
      if (f.width == 8)
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02u:%02u:%02u.%02u", y, m, d, h / 360000, h / 6000 % 60,
                      h / 100 % 60, h % 100);
      else
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", y, m, d);
      return buf;
    }
    case kFtPacked: {
      bool ok = true;
      int32_t v = pd_cvb(p, f.width, &ok);
      return ok ? std::to_string(v) : "?";
    }
    default: {
      std::string s;
      for (int i = 0; i < f.width; ++i) {
        std::snprintf(buf, sizeof buf, "%02X", p[i]);
        s += buf;
      }
      while (s.size() >= 2 && s.compare(s.size() - 2, 2, "00") == 0) s.resize(s.size() - 2);
      return s;
    }
  }
}

void dict_image(const DictField* f, int n, int kind, uint8_t* out, size_t size) {
  std::memset(out, ' ', size);
  for (int i = 0; i < n; ++i) {
    for (int o = 0; o < f[i].occurs; ++o) {
      size_t at = f[i].offset + size_t(o) * f[i].width;
      if (at + f[i].width > size) continue;
      uint8_t* p = out + at;
      switch (f[i].type) {
        case kFtAlpha: break;
        case kFtDate: std::memset(p, kind == 2 ? 0xFF : 0, f[i].width); break;
        case kFtPacked: pd_cvp(p, f[i].width, 0); break;
        default: std::memset(p, 0, f[i].width); break;
      }
    }
  }
}

void dict_image(const DictRecDesc& r, int kind, uint8_t* out) { dict_image(r.fields, r.count, kind, out, r.size); }

std::string dict_proc_stamp(int type, std::string_view name, uint32_t bump) {
  // FNV-1a over the type byte and the blank-padded 30-character name.
  uint32_t h = 2166136261u;
  auto mix = [&](uint8_t c) { h = (h ^ c) * 16777619u; };
  mix(uint8_t(type));
  for (size_t i = 0; i < 30; ++i) mix(i < name.size() ? uint8_t(name[i]) : uint8_t(' '));
  uint32_t t = uint32_t((uint64_t(h) + bump) % 8640000u);  // hundredths of the day
  char buf[32];
  std::snprintf(buf, sizeof buf, "2026-01-01T%02u:%02u:%02u.%02u", t / 360000u, t / 6000u % 60u, t / 100u % 60u,
                t % 100u);
  return buf;
}
