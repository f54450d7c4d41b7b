// Test helpers of the statement text: the corpus, lines both ways.
#pragma once

#include <fstream>
#include <string>
#include <vector>

#include "design/se.h"
#include "design/se_valid.h"

namespace setest {

inline std::string corpus_path() { return std::string(QUVO_TEST_DIR) + "/design/data/corpus.txt"; }

// The corpus lines (comments and empty lines dropped), trailing blanks off.
inline std::vector<std::string> corpus() {
  std::vector<std::string> out;
  std::ifstream in(corpus_path(), std::ios::binary);
  std::string l;
  while (std::getline(in, l)) {
    if (l.empty() || l[0] == '#') continue;
    out.push_back(l);
  }
  return out;
}

inline std::string pad80(std::string s) {
  s.resize(80, ' ');
  return s;
}

inline DStmt blank_stmt() {
  DStmt s;
  std::memset(&s, 0, sizeof s);
  s.tf.clear();
  s.ops.zero();
  return s;
}

struct Parsed {
  int ok = 0;
  int col = 0;
  int second = 0;
  DStmt stmt = blank_stmt();
  SeLineState st;
};

inline Parsed parse(const std::string& line, SeValidator* v = nullptr, bool display_names = false) {
  Parsed p;
  p.st.text = line.data();
  p.st.len = int(line.size());
  p.st.validator = v;
  p.st.display_names = display_names;
  p.ok = se_degen_stmt(p.st, p.stmt, &p.col, &p.second);
  return p;
}

inline std::string text(const DStmt& s, int len = 80, bool display_names = false) {
  std::string out(size_t(len), '#');
  DStmt copy = s;
  SeGenCtx ctx;
  ctx.line = out.data();
  ctx.len = len;
  ctx.display_names = display_names;
  se_gen_stmt(ctx, copy, 0, 0);
  return out;
}

}  // namespace setest
