// CALC expressions at compile time: the parser of the expression text, the
// marking of integer variables, and the stack code built from the tree.
//
// Grammar (blanks are allowed before every factor, operator, ',' and ')';
// not inside a number or a function name, nor between a function name and
// its '('):
//   expression = term { ('+' | '-') term }
//   term       = factor { ('*' | '/') factor }
//   factor     = '-' factor | '(' expression ')' | terminal
//   terminal   = letter ['I'] | '@' name '(' expression [',' expression] ')' | number
//   number     = a run of digits and '.'
// Every syntax error is 101060 for the statement. Integer variables (AI to
// ZI) are converted to packed decimal before any arithmetic.
//
// The stack code: a reset, a push of the result variable, the tree in post-
// order, a store; the tree is bounded so that the stack (30 entries) is
// never passed (a deeper expression is 101060).
#pragma once

#include <cstdint>
#include <vector>

#include "language/ib.h"

constexpr uint32_t kScCalcErr = 101060;

struct CalcNode {
  uint8_t kind;        // 0 variable, 1 number, 2 operator, 3 function
  uint16_t pos = 0;    // variable, number: position in the text
  uint8_t len = 0;     // variable: 1 decimal, 2 integer; number: characters
  char op = 0;         // '+', '-', '*', '/', '~' negate, '$' convert an integer
  uint8_t fn = 0;      // function code
  int left = -1, right = -1;
};
struct CalcTree {
  std::vector<CalcNode> nodes;
  int root = -1;
};

// Parses the expression text (len bytes): 0 with the tree, or 101060.
uint32_t parse_calc(const char* text, int len, CalcTree* tree);
// Puts a '$' conversion over every integer-variable leaf.
void promote_tree(CalcTree* tree);
// The function code of a name (exact length and text), 0 when none.
uint8_t calc_fn_code(const char* name, int len, int* args);

// What a compile function gives the builder: each loads address register 1
// with the operand (a "0LA" calculation variable, or a numeric constant of
// type 12 from its text) and answers 1, or 0 with its message in *msg.
struct CalcRefs {
  void* ctx;
  int (*var)(void* ctx, char letter, bool is_int, uint32_t* msg);
  int (*number)(void* ctx, const char* text, int len, uint32_t* msg);
};
// Emits the stack code of the tree into the variable (letter, integer):
// 1, or 0 with the message (a failed reference's, or 101060).
int bld_calc(IbCode* code, const CalcTree& tree, const char* text, char letter, bool is_int,
             const CalcRefs& refs, uint32_t* msg);
