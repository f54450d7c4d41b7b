#include "foundation/la.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "foundation/bi.h"

namespace {
LaLookup g_lookup = nullptr;
LaMsgLine g_msg_line = nullptr;
std::string g_sys_err;
}  // namespace

void la_set_lookup(LaLookup lookup) { g_lookup = lookup; }

std::string la_text(uint32_t msg) {
  std::string text;
  int sev = 0;
  if (msg == 200650) return g_sys_err.empty() ? std::string(std::strerror(errno)) : g_sys_err;
  if (g_lookup && g_lookup(msg, &text, &sev)) {
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
  }
  return std::string();
}

int la_xlate(uint32_t msg, LaText* out, int* severity) {
  std::string text;
  int sev = 0;
  bool found = false;
  if (msg == 200650) {
    text = g_sys_err.empty() ? std::string(std::strerror(errno)) : g_sys_err;
    sev = 3;
    found = true;
  } else if (g_lookup) {
    found = g_lookup(msg, &text, &sev);
  }
  if (!found) {
    char b[96];
    // The two numbers: the file status of the look-up and the system error.
    std::snprintf(b, sizeof b, "Unable to translate message: %d (%d,%d)", int(msg),
                  g_lookup ? 200450 : 200340, 0);
    text = b;
    sev = 3;
  } else {
    while (!text.empty() && text.back() == ' ') text.pop_back();
    if (sev == 1) text = std::string(com.warning_label.data(), com.warning_len) + " - " + text;
    else if (sev >= 2) text = std::string(com.error_label.data(), com.error_len) + " - " + text;
  }
  if (severity) *severity = sev;
  if (!out || !out->text) return int(text.size());
  size_t n = text.size() < out->len ? text.size() : out->len;
  std::memcpy(out->text, text.data(), n);
  std::memset(out->text + n, ' ', out->len - n);
  return int(n);
}

void la_sys_err(const char* text, int) {
  g_sys_err = text ? text : "";
  if (g_msg_line && com.screen_up) g_msg_line(g_sys_err.c_str());
}

const std::string& la_cur_sys_err() { return g_sys_err; }
void la_set_msg_line(LaMsgLine show) { g_msg_line = show; }
