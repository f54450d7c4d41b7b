// Values as people write them: see value.h.
#include "value.h"

#include <algorithm>

#include <cstring>
#include <vector>

#include "foundation/cvdat.h"
#include "foundation/pd.h"

namespace qg {

namespace {

bool parse_iso(const std::string& t, int u[8], std::string* why) {
  // YYYY-MM-DD[ HH:MM[:SS[.hh]]]
  int y, mo, d, h = 0, mi = 0, se = 0, hu = 0;
  char tail = 0;
  int n = std::sscanf(t.c_str(), "%4d-%2d-%2d %2d:%2d:%2d.%2d%c", &y, &mo, &d, &h, &mi, &se, &hu, &tail);
  bool shape = t.size() >= 10 && t[4] == '-' && t[7] == '-' && (n == 3 ? t.size() == 10 : n >= 5 && n <= 7);
  if (!shape || n == 8) {
    *why = "a date is written YYYY-MM-DD (and HH:MM[:SS[.hh]])";
    return false;
  }
  if (y < 1 || y > 9999 || mo < 1 || mo > 12 || d < 1 || d > LAST_DAY(y, mo) || h > 23 || mi > 59 || se > 59 ||
      hu > 99 || h < 0 || mi < 0 || se < 0 || hu < 0) {
    *why = "no such date or time: " + t;
    return false;
  }
  u[0] = y / 100;
  u[1] = y % 100;
  u[2] = mo;
  u[3] = d;
  u[4] = h;
  u[5] = mi;
  u[6] = se;
  u[7] = hu;
  return true;
}

void put_le(uint8_t* out, int len, uint64_t v) {
  for (int i = 0; i < len; ++i) out[i] = uint8_t(v >> (8 * i));
}

bool parse_number(const std::string& t, int decimals, __int128* out, std::string* why) {
  size_t i = 0;
  bool neg = false;
  if (i < t.size() && (t[i] == '-' || t[i] == '+')) neg = t[i++] == '-';
  __int128 v = 0;
  int digits = 0, frac = -1;
  for (; i < t.size(); ++i) {
    char c = t[i];
    if (c == '.' && frac < 0) {
      frac = 0;
      continue;
    }
    if (c < '0' || c > '9') {
      *why = "not a number: \"" + t + "\"";
      return false;
    }
    if (++digits > 30) {
      *why = "too many digits";
      return false;
    }
    v = v * 10 + (c - '0');
    if (frac >= 0) ++frac;
  }
  if (digits == 0) {
    *why = "a number expected";
    return false;
  }
  if (frac < 0) frac = 0;
  if (frac > decimals) {
    *why = "more decimal digits than the field's " + std::to_string(decimals);
    return false;
  }
  for (; frac < decimals; ++frac) v *= 10;
  *out = neg ? -v : v;
  return true;
}

std::string fixed_decimals(const std::string& t, int decimals, std::string* why) {
  __int128 v;
  if (!parse_number(t, decimals, &v, why)) return "";
  bool neg = v < 0;
  if (neg) v = -v;
  std::string digits;
  do {
    digits.insert(digits.begin(), char('0' + int(v % 10)));
    v /= 10;
  } while (v);
  while (int(digits.size()) <= decimals) digits.insert(digits.begin(), '0');
  if (decimals) digits.insert(digits.end() - decimals, '.');
  return (neg ? "-" : "") + digits;
}

}  // namespace

std::string form_check(const FieldForm& s) {
  switch (s.type) {
    case 5:
      if (s.len != 1 && s.len != 2 && s.len != 4) return "a binary field is 1, 2 or 4 bytes";
      break;
    case 8:
      if (s.len > 16) return "a packed field is at most 16 bytes";
      break;
    case 11:
      if (s.len != 1) return "a logic field is 1 byte";
      break;
    case 12:
      if (s.len != 9) return "a decimal field is 9 bytes (8 packed and the scale)";
      break;
    default:
      break;
  }
  if (s.decimals && s.type != 5 && s.type != 8 && s.type != 12) return "only numbers have decimals";
  return "";
}

int form_digits(const FieldForm& s) {
  // A number's digits before the decimal point: those its width holds less
  // its decimals (a readers' limit on the integer part, as the dictionary
  // compiler counts them from the mask).
  switch (s.type) {
    case 5: return std::max(0, (s.len == 1 ? 3 : s.len == 2 ? 5 : 10) - s.decimals);
    case 8: return std::max(0, 2 * s.len - 1 - s.decimals);
    case 12: return 15;
    default: return is_date_type(s.type) ? s.high : 0;
  }
}

bool encode_value(const FieldForm& s, const std::string& text, uint8_t* out, std::string* why) {
  switch (s.type) {
    case 1:
    case 2:
    case 13:
      if (text.size() > size_t(s.len)) {
        *why = "longer than the field (" + std::to_string(s.len) + " characters)";
        return false;
      }
      std::memset(out, ' ', size_t(s.len));
      std::memcpy(out, text.data(), text.size());
      return true;
    case 5: {
      __int128 v;
      if (!parse_number(text, s.decimals, &v, why)) return false;
      int bits = 8 * s.len;
      __int128 lo, hi;
      if (s.is_signed) {
        lo = -(__int128(1) << (bits - 1));
        hi = (__int128(1) << (bits - 1)) - 1;
      } else {
        lo = 0;
        hi = (__int128(1) << bits) - 1;
      }
      if (v < lo || v > hi) {
        *why = "out of range for " + std::string(s.is_signed ? "a signed " : "an unsigned ") +
               std::to_string(s.len) + "-byte binary field: " + text;
        return false;
      }
      put_le(out, s.len, uint64_t(v));
      return true;
    }
    case 8:
    case 12: {
      // packed: the field's decimals; type 12 carries the text's own scale
      __int128 probe;
      if (s.type == 12 && !parse_number(text, 31, &probe, why)) return false;
      std::string t = s.type == 12 ? text : fixed_decimals(text, s.decimals, why);
      if (t.empty()) return false;
      if (s.type == 8 && !s.is_signed && t[0] == '-' && t.find_first_of("123456789") != std::string::npos) {
        *why = "out of range for an unsigned packed field (give it \"signed\"): " + text;
        return false;
      }
      PdCva cva{out, s.type == 12 ? 8 : s.len, 0};
      if (!pd_cva(t.c_str(), int(t.size()), '.', &cva)) {
        *why = "does not fit " + std::to_string(cva.len) + " bytes of packed decimal: " + text;
        return false;
      }
      if (s.type == 12) out[8] = uint8_t(cva.scale);
      return true;
    }
    case 11: {
      std::string t = text;
      for (char& c : t) c = char(std::tolower(static_cast<unsigned char>(c)));
      if (t == "y" || t == "yes" || t == "1") out[0] = '1';
      else if (t == "n" || t == "no" || t == "0") out[0] = '0';
      else if (t.empty()) out[0] = ' ';
      else {
        *why = "a logic value is Y or N";
        return false;
      }
      return true;
    }
    case 3:
    case 4:
    case 6:
    case 7:
    case 9:
    case 10:
    case 15: {
      int u[8];
      if (!parse_iso(text, u, why)) return false;
      DateDesc d;
      d.type = uint8_t(s.type);
      d.len = uint16_t(s.len);
      d.high = uint8_t(s.high);
      d.low = uint8_t(s.low);
      d.julian = uint8_t(s.julian);
      d.value = out;
      for (int i = 0; i < 8; ++i) d.date[i] = uint8_t(u[i]);
      // units below the range must be their base values, not dropped
      for (int unit = s.low - 1; unit >= 1; --unit)
        if (d.date[unit_index(unit)] != cv_unit_base(unit)) {
          *why = "the field holds no unit below " + std::to_string(s.low) + " (" + text + ")";
          return false;
        }
      if (!cv_ston_date(&d)) {
        *why = "not a date this field stores: " + text;
        return false;
      }
      return true;
    }
    default:
      *why = "the generator does not write data type " + std::to_string(s.type);
      return false;
  }
}

void default_images(const FieldForm& s, uint8_t* init, uint8_t* null) {
  size_t n = size_t(s.len);
  switch (s.type) {
    case 5:
      std::memset(init, 0, n);
      std::memset(null, 0, n);
      break;
    case 6:
    case 7:
      std::memset(init, 0, n);
      std::memset(null, 0xFF, n);
      break;
    case 8:
      pd_cvp(init, s.len, 0);
      pd_cvp(null, s.len, 0);
      break;
    case 9:
    case 10:
      pd_cvp(init, s.len, 0);
      pd_cvp(null, s.len, -1);
      break;
    case 12:
      std::memset(init, 0, n);
      std::memset(null, 0, n);
      pd_cvp(init, 8, 0);
      pd_cvp(null, 8, 0);
      break;
    default:
      std::memset(init, ' ', n);
      std::memset(null, ' ', n);
      break;
  }
}

bool is_date_type(int type) {
  return type == 3 || type == 4 || type == 6 || type == 7 || type == 9 || type == 10 || type == 15;
}

std::string date_range(FieldForm* s, const std::string& mask) {
  if (!is_date_type(s->type)) return "";
  int julian = s->type == 3 || s->type == 6 || s->type == 9;
  if (!mask.empty()) {
    // Check the tokens first: a bad one is a system error in the compiler.
    for (size_t i = 0; i < mask.size(); ++i) {
      char c = mask[i];
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        size_t q = mask.find('"', i + 1);
        if (q == std::string::npos) return "mask: quote not closed";
        i = q;
      } else if (c >= '0' && c <= '9') {
        size_t j = i;
        while (j < mask.size() && mask[j] >= '0' && mask[j] <= '9') ++j;
        std::string run = mask.substr(i, j - i);
        bool ok = true;
        for (size_t k = 0; ok && k < run.size();) {
          if (run.compare(k, 3, "005") == 0) k += 3;
          else if (k + 1 < run.size() && run[k + 1] >= '1' && run[k + 1] <= '8' &&
                   (run[k] == '0' || run[k] == run[k + 1]))
            k += 2;
          else ok = false;
        }
        if (!ok) return "mask: bad unit \"" + run + "\" (units are 0N or NN, N 8 century .. 1 hundredths)";
        i = j - 1;
      }
    }
    std::vector<uint8_t> buf(mask.begin(), mask.end());
    DateDesc d;
    d.type = uint8_t(s->type);
    d.mask = buf.data();
    d.mask_len = uint16_t(buf.size());
    if (!cv_cmpl_date_msk(&d)) return "mask: no unit in \"" + mask + "\"";
    s->high = d.high;
    s->low = d.low;
    s->julian = d.julian;
    if (s->type == 15) s->high = 8, s->low = 1;
    int len = cv_date_stored_len(s->type, s->high, s->low, s->julian);
    if (s->len == 0) s->len = len;
    if (s->len != len)
      return "the mask gives a stored length of " + std::to_string(len) + ", not " + std::to_string(s->len);
    return "";
  }
  if (julian) return "a day-of-year date needs its mask";
  switch (s->type) {
    case 15:
      if (s->len != 8) return "an internal date is 8 bytes";
      s->high = 8, s->low = 1;
      break;
    case 7:
      if (s->len != 4 && s->len != 8) return "a binary date is 4 or 8 bytes";
      s->high = 8, s->low = s->len == 4 ? 5 : 1;
      break;
    case 4:
      if (s->len < 2 || s->len > 16 || s->len % 2) return "a text date is 2-16 digits, two a unit";
      s->high = 8, s->low = 8 - s->len / 2 + 1;
      break;
    case 10:
      if (s->len < 2 || s->len > 9) return "a packed date is 2-9 bytes";
      s->high = 8, s->low = 10 - s->len;
      break;
  }
  if (cv_date_stored_len(s->type, s->high, s->low, 0) != s->len)
    return "no unit range gives a date of " + std::to_string(s->len) + " bytes";
  return "";
}

void fixed_stamp(uint8_t out[8]) {
  put_le(out, 4, uint32_t(cv_days_from_civil(2026, 1, 1)));
  put_le(out + 4, 4, 0);
}

}  // namespace qg
