// The query engine: selection texts, trees and their branch programs. See
// pbutil.h.
#include <algorithm>
#include <cstring>

#include "foundation/mm.h"
#include "process/pbutil.h"

namespace {

struct ParseFail {
  uint32_t status;
  size_t pos;
};

// Recursive descent over one text: expression = term { "OR" term },
// term = factor { "AND" factor }, factor = "(" expression ")" | digits.
struct Parser {
  const char* t;
  size_t cur, end;
  int kind;
  std::vector<PbQslct>* lines;
  PbTree* tree;

  [[noreturn]] void fail(uint32_t status, size_t at) { throw ParseFail{status, at}; }
  void skip() {
    while (cur < end && t[cur] == ' ') ++cur;
  }
  bool word(const char* w) {
    size_t n = std::strlen(w);
    if (cur + n > end || std::memcmp(t + cur, w, n) != 0) return false;
    cur += n;
    return true;
  }
  int node(uint8_t op, int l, int r) {
    PbNode n{};
    n.kind = 1;
    n.op = op;
    n.left = l;
    n.right = r;
    tree->nodes.push_back(n);
    return int(tree->nodes.size() - 1);
  }
  int expr() {
    int n = term();
    for (;;) {
      skip();
      if (!word("OR")) return n;
      n = node(1, n, term());
    }
  }
  int term() {
    int n = factor();
    for (;;) {
      skip();
      if (!word("AND")) return n;
      n = node(2, n, factor());
    }
  }
  int factor() {
    skip();
    if (cur < end && t[cur] == '(') {
      ++cur;
      int n = expr();
      skip();
      if (cur >= end || t[cur] != ')') fail(kPbBadText, cur);
      ++cur;
      return n;
    }
    if (cur >= end || t[cur] < '0' || t[cur] > '9') fail(kPbBadFactor, cur);
    size_t at = cur;
    uint64_t v = 0;
    bool big = false;
    while (cur < end && t[cur] >= '0' && t[cur] <= '9') {
      v = v * 10 + uint64_t(t[cur++] - '0');
      if (v > 0xFFFFFFFFull) big = true, v = 0xFFFFFFFFull + 1;
    }
    if (big) fail(kPbBadText, at);
    PbNode n{};
    n.kind = 2;
    if (lines) {
      for (size_t i = 0; i < lines->size(); ++i) {
        PbQslct& l = (*lines)[i];
        if (l.kind == kind && l.line.get() == uint32_t(v)) {
          l.mentioned = '1';
          n.line = int(i);
          break;
        }
      }
      if (n.line < 0) fail(kPbBadText, at);
    }
    tree->nodes.push_back(n);
    return int(tree->nodes.size() - 1);
  }
};

// The lines of a kind that no text mentions, switched on, with a right
// operand, ANDed in line-number order in front of the text's tree.
int finish_tree(PbTree* tree, int root, int kind, const std::vector<PbQslct>& lines) {
  std::vector<int> ix;
  for (size_t i = 0; i < lines.size(); ++i) {
    const PbQslct& l = lines[i];
    if (l.kind == kind && l.mentioned != '1' && l.on != '0' && !l.r_value.blank()) ix.push_back(int(i));
  }
  std::stable_sort(ix.begin(), ix.end(), [&](int a, int b) { return lines[a].line.get() < lines[b].line.get(); });
  int chain = -1;
  for (int i : ix) {
    PbNode n{};
    n.kind = 2;
    n.line = i;
    tree->nodes.push_back(n);
    int leaf = int(tree->nodes.size() - 1);
    if (chain < 0) {
      chain = leaf;
      continue;
    }
    PbNode a{};
    a.kind = 1;
    a.op = 2;
    a.left = chain;
    a.right = leaf;
    tree->nodes.push_back(a);
    chain = int(tree->nodes.size() - 1);
  }
  if (chain < 0) return root;
  if (root < 0) return chain;
  PbNode a{};
  a.kind = 1;
  a.op = 2;
  a.left = chain;
  a.right = root;
  tree->nodes.push_back(a);
  return int(tree->nodes.size() - 1);
}

// A line that is switched off or has no relation (0, blank, or 255: no
// relation to test) goes; an operator left with one child becomes it.
int trim(PbTree* tree, int n, const std::vector<PbQslct>& lines) {
  if (n < 0) return -1;
  PbNode& x = tree->nodes[size_t(n)];
  if (x.kind == 2) {
    if (x.line < 0) return n;
    const PbQslct& l = lines[size_t(x.line)];
    uint8_t r = l.relation;
    return (r == 0 || r == ' ' || r == 255 || l.on == '0') ? -1 : n;
  }
  int l = trim(tree, x.left, lines);
  int r = trim(tree, tree->nodes[size_t(n)].right, lines);
  if (l < 0) return r;
  if (r < 0) return l;
  tree->nodes[size_t(n)].left = l;
  tree->nodes[size_t(n)].right = r;
  return n;
}

// A jump target while compiling: an end, or the start of a node's code.
struct Target {
  int end;    // kPbEndTrue, kPbEndFalse, or 0: the start of `node`
  int node;
};

struct Compiler {
  const PbTree& tree;
  std::vector<PbStep> steps;
  std::vector<int> first;           // per node: the step of its first line
  std::vector<Target> t_true, t_false;  // per step

  void order(int n) {
    const PbNode& x = tree.nodes[size_t(n)];
    first[size_t(n)] = int(steps.size());
    if (x.kind == 2) {
      steps.push_back(PbStep{x.line, 0, 0});
      return;
    }
    order(x.left);
    order(x.right);
  }
  void targets(int n, Target tt, Target tf) {
    const PbNode& x = tree.nodes[size_t(n)];
    if (x.kind == 2) {
      t_true[size_t(first[size_t(n)])] = tt;
      t_false[size_t(first[size_t(n)])] = tf;
      return;
    }
    Target right{0, x.right};
    if (x.op == 1) targets(x.left, tt, right);
    else targets(x.left, right, tf);
    targets(x.right, tt, tf);
  }
  int resolve(Target t) const { return t.end ? t.end : first[size_t(t.node)]; }
};

}  // namespace

int pb_parse_text(const char* text, size_t len, int kind, std::vector<PbQslct>* lines, PbTree* tree,
                  int* root, uint32_t* status, size_t* pos) {
  Parser p{text, 0, len, kind, lines, tree};
  *root = -1;
  try {
    p.skip();
    if (p.cur >= p.end) return 1;
    int n = p.expr();
    p.skip();
    if (p.cur < p.end) p.fail(kPbBadText, p.cur);
    *root = n;
    return 1;
  } catch (const ParseFail& f) {
    if (status) *status = f.status;
    if (pos) *pos = f.pos;
    return 0;
  }
}

int32_t pb_valid_expr(const uint32_t* args) {
  if (!args || args[0] < 4) return 0;
  auto* text = static_cast<const char*>(arena::at(args[2]));
  auto* st = static_cast<uint8_t*>(arena::at(args[3]));
  auto* at = static_cast<uint8_t*>(arena::at(args[4]));
  if (!text) return 0;
  PbTree tree;
  int root;
  uint32_t status = 0;
  size_t pos = 0;
  int ok = pb_parse_text(text, 800, 8, nullptr, &tree, &root, &status, &pos);
  if (st) rec::view<rec::U32>(st).set(ok ? 0 : status);
  if (at) rec::view<rec::U32>(at).set(ok ? 0 : uint32_t(pos));
  return ok;
}

int pb_bld_slct(const char* text8, const char* text9, size_t len, std::vector<PbQslct>* lines, PbTree* tree,
                uint32_t* status, size_t* pos) {
  // A mark left from an earlier build would keep a line the text no longer
  // mentions out of the tree.
  for (PbQslct& l : *lines) l.mentioned = '0';
  tree->nodes.clear();
  tree->root = -1;
  int r9, r8;
  if (!pb_parse_text(text9, len, 9, lines, tree, &r9, status, pos)) return 0;
  r9 = finish_tree(tree, r9, 9, *lines);
  if (!pb_parse_text(text8, len, 8, lines, tree, &r8, status, pos)) return 0;
  r8 = finish_tree(tree, r8, 8, *lines);
  int root;
  if (r9 >= 0 && r8 >= 0) {
    PbNode a{};
    a.kind = 1;
    a.op = 2;
    a.left = r9;
    a.right = r8;
    tree->nodes.push_back(a);
    root = int(tree->nodes.size() - 1);
  } else {
    root = r9 >= 0 ? r9 : r8;
  }
  tree->root = trim(tree, root, *lines);
  return 1;
}

std::vector<PbStep> pb_cmpl_slct(const PbTree& tree) {
  if (tree.root < 0) return {};
  Compiler c{tree, {}, std::vector<int>(tree.nodes.size(), -1), {}, {}};
  c.order(tree.root);
  c.t_true.assign(c.steps.size(), Target{});
  c.t_false.assign(c.steps.size(), Target{});
  c.targets(tree.root, Target{kPbEndTrue, -1}, Target{kPbEndFalse, -1});
  for (size_t i = 0; i < c.steps.size(); ++i) {
    int next = i + 1 < c.steps.size() ? int(i + 1) : 0x7FFFFFFF;
    int tt = c.resolve(c.t_true[i]), tf = c.resolve(c.t_false[i]);
    PbStep& s = c.steps[i];
    // The outcome whose target is the next line's start falls through; the
    // last line falls into the end with its own value.
    if (next == 0x7FFFFFFF) continue;
    if (tt == next) s.on = 2, s.target = tf;
    else s.on = 1, s.target = tt;
  }
  return c.steps;
}

bool pb_run_slct(const std::vector<PbStep>& prog, const std::function<bool(int)>& test) {
  bool r = true;
  size_t i = 0;
  while (i < prog.size()) {
    const PbStep& s = prog[i];
    r = test(s.line);
    if (s.on && (r ? 1 : 2) == s.on) {
      if (s.target == kPbEndTrue) return true;
      if (s.target == kPbEndFalse) return false;
      i = size_t(s.target);
      continue;
    }
    ++i;
  }
  return r;
}
