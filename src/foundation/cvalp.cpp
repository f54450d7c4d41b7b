// Alpha values: edit masks, justification, fill, squeezing and case.
#include <cstring>
#include <string>

#include "foundation/bi.h"
#include "foundation/cv.h"
#include "foundation/scratch.h"
#include "foundation/ut.h"

namespace {

bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
bool is_alpha(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= 192 && c <= 221) || (c >= 224 && c <= 253);
}
// The letters that '@' takes.
bool is_alpha_at(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= 205 && c <= 221) || (c >= 224 && c <= 253);
}

unsigned char to_upper(unsigned char c) {
  if (c >= 'a' && c <= 'z') return uint8_t(c - 32);
  if (c >= 224 && c <= 254 && c != 247) return uint8_t(c - 32);
  return c;
}
unsigned char to_lower(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return uint8_t(c + 32);
  if (c >= 192 && c <= 222 && c != 215) return uint8_t(c + 32);
  return c;
}

void apply_case(char* t, int n, int code) {
  bool word_start = true;
  for (int i = 0; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(t[i]);
    switch (code) {
      case 1: c = to_upper(c); break;
      case 3: c = to_lower(c); break;
      case 4:
        c = word_start ? to_upper(c) : to_lower(c);
        break;
      default: break;
    }
    word_start = !(is_alpha(c) || is_digit(c) || c == '\'');
    t[i] = char(c);
  }
}

int trimmed(const char* t, int n) {
  while (n > 0 && t[n - 1] == ' ') --n;
  return n;
}

}  // namespace

bool BLANK_MSK(const void* mask) {
  return !mask || ut_is_all(mask, ' ', 60);
}

int alp_etoi(const char* text, int tlen, char* target, int target_len, const char* mask,
             int mask_len, int justify, int fill, int squeeze, int case_code, uint32_t* msg) {
  auto refuse = [&](uint32_t m) {
    if (msg) *msg = m;
    return 0;
  };
  if (!target || target_len < 0 || tlen < 0 || (!text && tlen > 0)) return refuse(200050);
  // The text after its case rule, in a work copy.
  Scratch<char> work{size_t(tlen)};
  if (tlen > 0) std::memcpy(work.data(), text, size_t(tlen));
  apply_case(work.data(), tlen, case_code);
  const char* t = work.data();
  Scratch<char> out{size_t(target_len)};
  std::memset(out.data(), ' ', size_t(target_len));
  int ml = mask ? trimmed(mask, mask_len) : 0;

  for (int i = 0; i < ml; ++i)
    if (mask[i] == 0 || std::strchr(" !#&@*", mask[i]) == nullptr) return refuse(200090);
  if (ml > 0) {
    std::memcpy(out.data(), target, size_t(target_len));
    int n = tlen > target_len ? tlen : target_len;
    for (int i = 0; i < n; ++i) {
      char c = i < tlen ? t[i] : ' ';
      if (i >= target_len) {
        if (c != ' ') return refuse(200050);
        continue;
      }
      char m = i < ml ? mask[i] : ' ';
      if (m == '*') continue;  // a fixed position keeps its character
      unsigned char u = static_cast<unsigned char>(c);
      bool ok;
      switch (m) {
        case ' ':
        case '!': ok = true; break;
        case '#': ok = is_digit(u); break;
        case '&': ok = is_digit(u) || is_alpha(u); break;
        default: ok = is_alpha_at(u); break;  // '@'
      }
      if (!ok && c == ' ') {
        // An unfilled position: accepted when nothing is typed after it.
        ok = true;
        for (int k = i + 1; k < tlen && k < target_len; ++k)
          if (t[k] != ' ' && !(k < ml && mask[k] == '*')) ok = false;
      }
      if (!ok) return refuse(300080);
      out[size_t(i)] = c;
    }
    std::memcpy(target, out.data(), size_t(target_len));
    return 1;
  }

  int b = 0;
  while (b < tlen && t[b] == ' ') ++b;
  int tt = trimmed(t, tlen);
  if (squeeze == '0' || squeeze == 0) {
    char f = fill ? char(fill) : ' ';
    std::memset(out.data(), f, size_t(target_len));
    int n = tt - b;  // the text without its leading and trailing blanks
    if (n > 0) {
      int start;
      switch (justify) {
        case 1: start = 0; break;
        case 2:
        case 3: start = target_len - n; break;
        case 4: start = (target_len - n) / 2; break;
        default: start = b; break;
      }
      if (n > target_len || start < 0 || start + n > target_len) return refuse(200050);
      std::memcpy(out.data() + start, t + b, size_t(n));
    }
  } else {
    // Runs of blanks become one blank; the joining character takes the place
    // of the blank before it and swallows the blanks after it.
    char join = char(com.join_char);
    int w = 0;
    bool pending_blank = false;
    for (int i = b; i < tt; ++i) {
      char c = t[i];
      if (c == ' ') {
        if (w > 0 && out[size_t(w - 1)] != join) pending_blank = true;
        continue;
      }
      if (c == join) pending_blank = false;
      if (pending_blank) {
        if (w >= target_len) return refuse(200050);
        out[size_t(w++)] = ' ';
        pending_blank = false;
      }
      if (w >= target_len) return refuse(200050);
      out[size_t(w++)] = c;
    }
  }
  std::memcpy(target, out.data(), size_t(target_len));
  return 1;
}
