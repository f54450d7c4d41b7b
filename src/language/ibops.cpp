// The opcode table (`inst_nam`): name, length and relocatable operands of
// every opcode, for builders, relocation, the trace and the disassembler.
//
// Where the statement families' descriptions of a layout disagree, this
// table is the answer: an instruction that carries a mask or text is as long
// as the offset of that text plus its length (FMT_ALP 12 + mask, NUM_TO_ALP
// 18 + mask, ALP_TO_ALP 14 + mask); the move and conversion opcodes are named
// by what their handlers do (GETATTR, date conversions, REFRESH, the offset
// register, the calculation function) rather than by older names. Lengths
// marked Unknown are settled by the family that builds the instruction.
#include <array>

#include "language/ib.h"

namespace {

struct Row {
  uint16_t op;        // the even opcode (single: exactly this one)
  bool pair;          // even RLOC_ and odd INST_
  const char* even;
  const char* odd;
  uint16_t size;
  IbLen len;
  uint8_t len_at;
  uint8_t n;
  IbOperand o[4];
};

constexpr IbOperand C(uint8_t at) { return {at, IbOpnd::Code, 0}; }
constexpr IbOperand K(uint8_t at) { return {at, IbOpnd::Cnst, 0}; }
constexpr IbOperand I(uint8_t at) { return {at, IbOpnd::Ira, 0}; }
constexpr IbOperand N(uint8_t at, uint8_t kind_at) { return {at, IbOpnd::NullCnst, kind_at}; }

#define P(op, name, size, ...) \
  Row{op, true, "RLOC_" #name, "INST_" #name, size, IbLen::Fixed, 0, __VA_ARGS__}
#define PV(op, name, size, len, at, ...) \
  Row{op, true, "RLOC_" #name, "INST_" #name, size, len, at, __VA_ARGS__}
#define PU(op, name) Row{op, true, "RLOC_" #name, "INST_" #name, 0, IbLen::Unknown, 0, 0, {}}
#define X0 0, {}

constexpr Row kRows[] = {
    // control (loops, labels, ends, invocation)
    P(0, LOOP_CNV, 8, X0), P(2, BEG_LOOP_PD, 12, 2, {C(4), I(8)}),
    P(4, BEG_LOOP_BIN, 12, 2, {C(4), I(8)}), P(6, CALL, 16, X0), P(8, SET_ADDR_LEN, 6, X0),
    P(10, END, 4, X0), P(12, END_LOOP_PD, 8, 1, {I(4)}), P(14, END_LOOP_BIN, 8, 1, {I(4)}),
    P(16, EXIT, 4, X0), P(18, GOSUB, 12, 2, {C(4), C(8)}), P(20, GOTO, 8, 1, {C(4)}),
    P(22, END_STMT, 4, X0), P(24, OVERFLOW, 8, 1, {C(4)}), P(26, PASS, 36, 1, {I(28)}),
    P(28, RCV, 4, X0), P(30, RETURN, 4, X0), P(32, RUN, 16, X0), P(34, TIMEOUT, 12, 1, {C(4)}),
    P(36, EXIT_COND, 12, X0), P(38, BR_COND, 12, 1, {C(8)}), P(40, INVOC, 52, X0),
    P(42, END_PROC, 4, X0), P(44, LOGOUT, 6, X0), P(46, TIMEOUT_CLR, 4, X0),
    P(48, VFY, 136, X0),
    // registers, moves, conversions
    P(50, ABORT, 12, 1, {K(8)}), P(52, CNST_1, 8, 1, {K(4)}), P(54, CNST_2, 8, 1, {K(4)}),
    P(56, CNST_3, 8, 1, {K(4)}), P(58, CNST_4, 8, 1, {K(4)}), P(60, IRA_1, 8, 1, {I(4)}),
    P(62, IRA_2, 8, 1, {I(4)}), P(64, IRA_3, 8, 1, {I(4)}), P(66, IRA_4, 8, 1, {I(4)}),
    P(68, IRA_OCC_1, 16, 1, {I(4)}), P(70, IRA_OCC_2, 16, 1, {I(4)}),
    P(72, IRA_OCC_3, 16, 1, {I(4)}), P(74, IRA_OCC_4, 16, 1, {I(4)}),
    P(76, OCC_PD, 16, 1, {I(4)}), P(78, OCC_BIN, 16, 1, {I(4)}),
    P(80, TFC, 12, 1, {C(4)}), P(82, TFU, 8, 1, {C(4)}), P(84, CNV_PD, 8, X0),
    P(94, CMPRS_BIN, 6, X0), P(110, MOVE_FIX_VAR, 8, X0), P(114, MOVE_CHAR, 6, X0),
    P(116, MOVE_CHAR_PAD, 8, X0), P(118, MOVE_VAR_CHAR, 6, X0), P(120, MOVE_VAR_FIX, 6, X0),
    P(122, MOVE_PD, 8, X0), P(124, MOVE_PD_SHFT, 16, X0), P(128, MOVE_PD_CHAR, 10, X0),
    P(132, MOVE_LOG, 4, X0), P(134, MOVE_BIN_LOG, 6, X0), P(136, MOVE_FIX_LOG, 16, X0),
    P(138, MOVE_VAR_LOG, 4, X0), P(140, SCAN_TEST, 12, 1, {C(4)}), P(142, LOG_TO_ALP, 4, X0),
    PV(144, FMT_ALP, 12, IbLen::PlusU16, 10, X0), PV(146, NUM_TO_ALP, 18, IbLen::PlusU16, 16, X0),
    P(148, ALP_TO_BIN, 10, X0), P(150, BIN_TO_LOG, 6, X0), P(152, LD_LEN1, 6, X0),
    P(154, LD_LEN2, 6, X0), P(156, LD_LEN3, 6, X0), P(158, LD_LEN4, 6, X0),
    P(160, LD_LEN_PD_VAR1, 12, 1, {I(4)}), P(162, LD_LEN_PD_VAR2, 12, 1, {I(4)}),
    P(164, LD_LEN_PD_VAR3, 12, 1, {I(4)}), P(166, LD_LEN_PD_VAR4, 12, 1, {I(4)}),
    P(168, LD_LEN_BIN1, 12, 1, {I(4)}), P(170, LD_LEN_BIN2, 12, 1, {I(4)}),
    P(172, LD_LEN_BIN3, 12, 1, {I(4)}), P(174, LD_LEN_BIN4, 12, 1, {I(4)}),
    P(176, SET_IF_NULL, 28, 3, {N(8, 12), N(16, 20), C(24)}), P(180, ALP_TO_LOG, 4, X0),
    PV(182, ALP_TO_ALP, 14, IbLen::PlusU16, 12, X0), P(184, IRA_SUM, 12, X0),
    P(186, IRA_BUCKET, 6, X0), P(188, IRA_SCAN, 8, X0),
    // process properties
    P(190, GETATTR, 240, X0), P(192, PUTATTR, 240, X0), P(198, DELATTR, 36, X0),
    P(254, MOVEATTR, 36, X0),
    // dates
    PU(200, SET_DATE), PU(202, DATE_TO_PD), PU(204, DATE_ADD_MM), PU(206, DATE_ADD_DD),
    PU(208, DATE_ADD_TH), PU(210, DATE_TO_LOG), PU(212, NUM_TO_DATE), PU(214, DATE_BTW_MM),
    PU(216, DATE_BTW_DD), PU(218, ALP_TO_DATE), PU(220, LOG_TO_DATE), PU(222, DATE_TO_DATE),
    PU(224, DATE_BTW_TH), PU(226, SET_DAY), PU(228, SET_MNTH), PU(230, DATE_TO_ALP),
    // screen refresh, fields
    P(242, REFRESH, 16, X0), P(250, APPEND, 10, X0), P(252, APPENDFIX, 10, X0),
    P(272, COMP_XPND_FIX_VAR, 10, X0), P(276, COMP_XPND_VAR_FIX, 10, X0),
    P(278, COMP_XPND_VAR_VAR, 8, X0), P(300, UNXPND, 6, X0), P(380, RND_UINT32B, 8, X0),
    P(406, SET_TEMP, 8, X0), P(410, TOKEN_TO_ALP, 36, X0), P(414, SET_BIN_TO_PD, 16, X0),
    P(416, SET_PD_TO_BIN, 16, X0), P(418, SET_BIN_TO_BIN, 16, X0),
    P(422, COMP_XPND_FIX_FIX, 10, X0), P(424, PD_TO_LOG, 8, X0),
    // miscellaneous
    P(450, TRAP, 4, X0), P(452, STEP, 4, X0), P(454, BREAK, 4, X0), P(460, COPY, 12, 1, {C(4)}),
    P(462, END_COPY, 4, X0), P(464, BNB, 8, 1, {C(4)}), P(466, NOP, 4, X0), P(468, GHOST, 4, X0),
    P(470, PRINT, 8, X0),
    // tests
    PU(498, IF_CMP), P(500, CHK_TF, 16, 1, {C(4)}), P(502, IF_IN, 16, X0),
    P(504, IF_STR_EQ, 12, X0), P(506, IF_STR_REST, 16, X0), P(508, IF_BIN, 16, X0),
    PU(510, IF_PD), P(512, IF_EX, 16, X0), PU(516, IF_LOG),
    // files, scan
    PV(550, BEG_AT, 12, IbLen::PlusSegs, 11, 1, {I(4)}), PV(552, END_AT, 12, IbLen::PlusSegs, 11, 1, {I(4)}),
    P(554, READNEXT, 28, 2, {I(8), I(12)}), P(556, BEG_READ_START, 20, 2, {I(4), I(8)}),
    P(558, BEG_READ, 20, 3, {I(4), I(8), C(12)}), P(560, END_READ, 8, 1, {I(4)}), P(562, READ, 24, 1, {I(8)}),
    P(564, WRITE, 16, 1, {I(8)}), P(566, REWRITE, 16, 1, {I(8)}), P(568, DELETE, 8, 1, {I(4)}),
    P(570, CREATE, 16, 1, {I(8)}), P(572, SCRATCH, 16, 1, {I(8)}), P(574, OPEN, 20, 1, {I(8)}),
    P(576, CLOSE, 12, 1, {I(4)}), P(578, IF_EXIST, 16, X0), P(580, SCAN, 16, 2, {I(4), C(8)}),
    // images, messages, dynamic items
    P(600, AT_FIELD_0, 30, X0), P(602, AT_FIELD_1, 30, X0), P(604, AT_FIELD_2, 30, X0),
    P(606, AT_FIELD_3, 30, X0), P(608, AT_FIELD_4, 30, X0), P(610, POSITION_0, 30, X0),
    P(612, POSITION_4, 30, X0), P(614, CHR_VAR, 80, X0), P(616, CHR_ALL, 56, X0),
    P(618, CHR_DEF, 92, X0), P(620, DSPL_VAR, 32, X0), P(622, DSPL_ALL, 6, X0),
    P(624, DSPL_DEF, 44, X0), P(626, MSG_TMP, 16, X0), P(628, MSG_CNST, 16, 1, {K(4)}),
    PU(630, LD_REG_1), PU(632, LD_REG_2), PU(634, LD_REG_3), PU(636, LD_REG_4),
    P(638, DEF_ADD_APP, 4, X0), P(640, DEF_DETACH, 40, X0), PU(642, DEFINE),
    P(644, UNDEF, 30, X0), P(646, POSITION_2, 30, X0), P(648, POSITION_3, 30, X0),
    P(650, OFFSET_REG, 12, X0),
    // calculations
    P(700, RESET_CALC_STACK, 4, X0), P(702, CALC_OPRND, 6, X0), P(704, CALC_2_OPS, 6, X0),
    P(706, CALC_NEG, 6, X0), P(708, CALC_EQ, 6, X0), P(710, COMPUTE_OPRND, 10, X0),
    P(712, CALC_FN, 6, X0), P(714, ALTER_ELEM, 6, X0), P(720, BIN_MATH, 6, X0),
    P(722, BIN_EQ, 6, X0), P(724, PD_HASH_ADD, 6, X0), P(726, PD_HASH_SUB, 6, X0),
    P(728, PD_ADD, 6, X0), P(730, PD_SUB, 6, X0), P(732, PD_MUL, 6, X0), P(734, PD_DIV, 6, X0),
    P(736, PD_EQ, 6, X0), P(738, CNV_SRC, 6, X0), P(740, BIN_PD_EQ, 6, X0),
    // conversion statements
    P(750, CNV_TEXT, 260, X0), P(752, CNV_BIN_N_A, 216, X0), P(754, CNV_BIN_A_N, 220, X0),
};

constexpr std::array<IbOpDef, kIbOps + 1> build() {
  std::array<IbOpDef, kIbOps + 1> t{};
  for (auto& d : t) d = IbOpDef{"", 0, IbLen::Unknown, 0, 0, {}};
  t[kIbOps].name = "?";
  for (const Row& r : kRows) {
    IbOpDef d{r.even, r.size, r.len, r.len_at, r.n, {r.o[0], r.o[1], r.o[2], r.o[3]}};
    t[r.op] = d;
    if (r.pair) {
      d.name = r.odd;
      t[r.op + 1] = d;
    }
  }
  return t;
}

}  // namespace

namespace {
std::array<IbOpDef, kIbOps + 1> g_table = build();
}  // namespace

const std::array<IbOpDef, kIbOps + 1>& inst_nam = g_table;

bool ib_define_op(uint16_t even_op, const IbOpDef& even, const char* odd_name) {
  even_op = uint16_t(even_op & ~1u);
  if (even_op + 1 >= kIbOps) return false;
  IbOpDef& e = g_table[even_op];
  if (e.len != IbLen::Unknown || even.len == IbLen::Unknown) return false;
  e = even;
  if (!e.name || !*e.name) e.name = "?";
  IbOpDef odd = e;
  odd.name = odd_name && *odd_name ? odd_name : e.name;
  g_table[even_op + 1] = odd;
  return true;
}
