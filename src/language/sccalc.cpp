// CALC expressions at compile time: see sccalc.h.
#include "language/sccalc.h"

#include <algorithm>
#include <cstring>

#include "foundation/ut.h"
#include "language/ibmath.h"

namespace {

struct FnDef {
  char name[7];
  uint8_t code;
  uint8_t args;
};
// calc_fn_tbl: the last entry, a blank name with code 0, ends it.
constexpr FnDef kFns[] = {
    {"ACOS", 1, 1},   {"ASIN", 2, 1},  {"ATAN", 3, 1},  {"ATAN2", 19, 2}, {"COS", 4, 1},
    {"SIN", 5, 1},    {"TAN", 6, 1},   {"COSH", 7, 1},  {"SINH", 8, 1},   {"TANH", 9, 1},
    {"EXP", 10, 1},   {"LOG", 11, 1},  {"LOG10", 12, 1}, {"MOD", 13, 2},  {"POW", 14, 2},
    {"SQRT", 15, 1},  {"CEIL", 16, 1}, {"ABS", 17, 1},  {"FLOOR", 18, 1}, {"", 0, 0},
};

// The parse state; a syntax error unwinds to parse_calc, which holds
// nothing a recovery scope would have to release (no scope of its own:
// one per CALC statement cost more than the parse).
struct Parse {
  const char* text;
  int pos;
  int last;  // last position, inclusive
  CalcTree* tree;
};

struct CalcSyntax {};
[[noreturn]] void syntax() { throw CalcSyntax{}; }
bool at_end(const Parse& p) { return p.pos > p.last; }
char cur(const Parse& p) { return at_end(p) ? '\0' : p.text[p.pos]; }
void parse_space(Parse& p) {
  while (!at_end(p) && p.text[p.pos] == ' ') ++p.pos;
}
bool TST_CHAR(char c, Parse& p) {
  if (at_end(p) || p.text[p.pos] != c) return false;
  ++p.pos;
  return true;
}
void MATCH_CHAR(char c, Parse& p) {
  if (!TST_CHAR(c, p)) syntax();
}
// Consumes one of the operator characters after blanks: it, or 0.
char parse_class(const char* chars, Parse& p) {
  int keep = p.pos;
  parse_space(p);
  char c = cur(p);
  if (c && std::strchr(chars, c)) {
    ++p.pos;
    return c;
  }
  p.pos = keep;
  return 0;
}
int bld_node(Parse& p, CalcNode n) {
  p.tree->nodes.push_back(n);
  return int(p.tree->nodes.size() - 1);
}
int op_node(Parse& p, char op, int left, int right) {
  CalcNode n{2};
  n.op = op;
  n.left = left;
  n.right = right;
  return bld_node(p, n);
}

int parse_expr(Parse& p);

int parse_terminal(Parse& p) {
  parse_space(p);
  if (at_end(p)) syntax();
  char c = cur(p);
  if (c >= 'A' && c <= 'Z') {
    CalcNode n{0};
    n.pos = uint16_t(p.pos++);
    n.len = 1;
    if (!at_end(p) && cur(p) == 'I') {
      ++p.pos;
      n.len = 2;
    }
    return bld_node(p, n);
  }
  if (c == '@') {
    int start = ++p.pos;
    while (!at_end(p) && cur(p) != '(') ++p.pos;
    int args = 0;
    uint8_t code = calc_fn_code(p.text + start, p.pos - start, &args);
    if (p.pos == start || code == 0) syntax();
    MATCH_CHAR('(', p);
    CalcNode n{3};
    n.fn = code;
    n.left = parse_expr(p);
    if (args == 2) {
      parse_space(p);
      MATCH_CHAR(',', p);
      n.right = parse_expr(p);
    }
    parse_space(p);
    MATCH_CHAR(')', p);
    return bld_node(p, n);
  }
  int start = p.pos;
  while (!at_end(p) && ((cur(p) >= '0' && cur(p) <= '9') || cur(p) == '.')) ++p.pos;
  if (p.pos == start) syntax();
  CalcNode n{1};
  n.pos = uint16_t(start);
  n.len = uint8_t(p.pos - start);
  return bld_node(p, n);
}

int parse_factor(Parse& p) {
  parse_space(p);
  if (TST_CHAR('-', p)) return op_node(p, '~', parse_factor(p), -1);
  if (TST_CHAR('(', p)) {
    int e = parse_expr(p);
    parse_space(p);
    MATCH_CHAR(')', p);
    return e;
  }
  return parse_terminal(p);
}

int parse_term(Parse& p) {
  int left = parse_factor(p);
  while (char op = parse_class("*/", p)) left = op_node(p, op, left, parse_factor(p));
  return left;
}

int parse_expr(Parse& p) {
  int left = parse_term(p);
  while (char op = parse_class("+-", p)) left = op_node(p, op, left, parse_term(p));
  return left;
}

// Stack entries the code of a subtree needs at most.
int depth(const CalcTree& t, int n) {
  const CalcNode& x = t.nodes[size_t(n)];
  if (x.kind == 0 || x.kind == 1) return 1;
  int l = depth(t, x.left);
  if (x.right < 0) return l;
  return std::max(l, 1 + depth(t, x.right));
}

struct Emit {
  IbCode* code;
  const CalcTree& tree;
  const char* text;
  const CalcRefs& refs;
  uint32_t* msg;
  bool ok = true;
  void node(int n) {
    if (!ok) return;
    const CalcNode& x = tree.nodes[size_t(n)];
    switch (x.kind) {
      case 0:
        ok = refs.var(refs.ctx, text[x.pos], x.len == 2, msg) && bld_calc_load(code, x.len == 2 ? 5 : 8);
        return;
      case 1:
        ok = refs.number(refs.ctx, text + x.pos, x.len, msg) && bld_calc_load(code, 12);
        return;
      case 2:
        node(x.left);
        if (x.right >= 0) node(x.right);
        if (ok) ok = bld_calc_eval(code, x.op) != nullptr;
        return;
      default:
        node(x.left);
        if (x.right >= 0) node(x.right);
        if (ok) ok = bld_calc_fn(code, x.fn) != nullptr;
    }
  }
};

}  // namespace

uint8_t calc_fn_code(const char* name, int len, int* args) {
  for (const FnDef& f : kFns) {
    if (f.code == 0) break;
    if (int(std::strlen(f.name)) == len && std::memcmp(f.name, name, size_t(len)) == 0) {
      if (args) *args = f.args;
      return f.code;
    }
  }
  return 0;
}

uint32_t parse_calc(const char* text, int len, CalcTree* tree) {
  tree->nodes.clear();
  tree->nodes.reserve(32);
  tree->root = -1;
  // Trailing blanks read as the end (the field is mostly blanks; every
  // level of the parse would look past them again).
  int last = len - 1;
  while (last >= 0 && text[last] == ' ') --last;
  Parse p{text, 0, last, tree};
  int root = -1;
  try {
    root = parse_expr(p);
    parse_space(p);
    if (!at_end(p)) syntax();
  } catch (const CalcSyntax&) {
    tree->nodes.clear();
    return kScCalcErr;
  }
  tree->root = root;
  return 0;
}

void promote_tree(CalcTree* tree) {
  size_t n = tree->nodes.size();
  for (size_t i = 0; i < n; ++i) {
    if (tree->nodes[i].kind != 2 && tree->nodes[i].kind != 3) continue;
    for (int right = 0; right < 2; ++right) {
      int side = right ? tree->nodes[i].right : tree->nodes[i].left;
      if (side < 0) continue;
      const CalcNode& leaf = tree->nodes[size_t(side)];
      if (leaf.kind != 0 || leaf.len != 2) continue;
      CalcNode c{2};
      c.op = '$';
      c.left = side;
      tree->nodes.push_back(c);  // (invalidates references into the nodes)
      (right ? tree->nodes[i].right : tree->nodes[i].left) = int(tree->nodes.size() - 1);
    }
  }
  // An expression of an integer variable alone.
  if (tree->root >= 0) {
    const CalcNode& r = tree->nodes[size_t(tree->root)];
    if (r.kind == 0 && r.len == 2) {
      CalcNode c{2};
      c.op = '$';
      c.left = tree->root;
      tree->nodes.push_back(c);
      tree->root = int(tree->nodes.size() - 1);
    }
  }
}

int bld_calc(IbCode* code, const CalcTree& tree, const char* text, char letter, bool is_int,
             const CalcRefs& refs, uint32_t* msg) {
  *msg = kScCalcErr;
  if (tree.root < 0 || 1 + depth(tree, tree.root) > 30) return 0;
  if (!bld_calc_reset(code)) return 0;
  if (!refs.var(refs.ctx, letter, is_int, msg) || !bld_calc_load(code, is_int ? 5 : 8)) return 0;
  Emit e{code, tree, text, refs, msg};
  e.node(tree.root);
  if (!e.ok || !bld_calc_eval(code, '=')) return 0;
  *msg = 0;
  return 1;
}
