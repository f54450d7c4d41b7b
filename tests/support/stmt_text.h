// Test helper: lines of statement text, as the statement editor's file form
// shows them (T/F column, verb, the operand part at its screen columns).
#pragma once

#include <cstdio>
#include <initializer_list>
#include <string>
#include <utility>

#include "design/se.h"

namespace stmttext {

// A statement line: T/F column, verb, then each operand text at its column
// of the operand part.
inline std::string line(const char* tf, const char* verb, std::initializer_list<std::pair<int, std::string>> ops = {}) {
  std::string o(64, ' ');
  for (const auto& [col, text] : ops) o.replace(size_t(col), text.size(), text);
  char b[128];
  std::snprintf(b, sizeof b, "%-5.5s %-8.8s %s", tf, verb, o.c_str());
  std::string s = b;
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s + "\n";
}
inline std::string calc(const char* tf, const char* var, const char* expr) {
  return line(tf, "CALC", {{0, var}, {5, expr}});
}
inline std::string loop(const char* var, const char* from, const char* to, const char* step = "1") {
  return line("", "BEG LOOP", {{0, var}, {5, from}, {12, to}, {22, step}});
}
// IF/AND/OR of a "0LA" field (shown "---") against a constant or field.
inline std::string test(const char* tf, const char* verb, const char* f1, int rel, const char* f2,
                        bool field2 = false) {
  return line(tf, verb,
              {{0, "---"}, {4, f1}, {31, std::string(se_rel_code(rel))}, {34, field2 ? "---" : ""}, {38, f2}});
}

}  // namespace stmttext
