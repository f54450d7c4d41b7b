// Statement text, module se2: the layout table, the spellings and the line
// built from a record. See se.h.
#include "design/se.h"
#include "design/se_valid.h"

#include <array>
#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/bi.h"
#include "foundation/la.h"
#include "foundation/os.h"
#include "process/services.h"

namespace {

// ------------------------------------------------------------ the table --
//
// One row per verb, in verb-code order: the built-in spelling and the run of
// layout entries, each written
//   k<kind> <offset>/<width> [c<screen column> l<screen length>] [flags] <name>
// flags: R required, D default when added, Y default yes, N default no,
// 1 default 1. Kind 25 entries (the unused rest) have no screen field.
struct Row {
  const char* verb;
  const char* layout;
};

const Row kRows[kSeVerbs] = {
    {"*",
     "k1 0/64 c0 l64 text"},
    {"**",
     "k1 0/64 c0 l64 text"},
    {"ACTION",
     "k2 0/3 c0 l3 D app; k6 3/30 c4 l30 proc; k7 33/1 c37 l10 RD invoc; "
     "k11 34/1 c55 l1 RDN end; k8 35/1 c63 l1 RD fail; k25 36/28 rest"},
    {"AND",
     "k4 0/4 c27 l3 occ; k2 4/3 c0 l3 RD app; k3 7/23 c4 l22 R field; "
     "k4 30/4 c61 l3 occ2; k2 34/3 c34 l3 D app2; k3 37/23 c38 l22 field2; "
     "k9 60/1 c31 l2 R rel; k25 61/3 rest"},
    {"APPEND",
     "k4 0/4 c27 l3 occ; k2 4/3 c0 l3 RD app; k3 7/23 c4 l22 R field; "
     "k4 30/4 c61 l3 occ2; k2 34/3 c34 l3 D app2; k3 37/23 c38 l22 field2; "
     "k12 60/1 c31 l1 RD1 count; k25 61/3 rest"},
    {"AT FIELD",
     "k4 0/4 c27 l3 occ; k2 4/3 c0 l3 D app; k3 7/23 c4 l22 field; "
     "k5 30/4 c48 l3 appear; k25 34/30 rest"},
    {"BEG AT",
     "k2 0/3 c0 l3 RD app; k14 3/8 c4 l8 R file; k15 11/1 c13 l2 R rel; "
     "k4 12/4 c43 l3 occ; k2 16/3 c16 l3 D app2; k3 19/23 c20 l22 field; "
     "k25 42/22 rest"},
    {"BEG LOOP",
     "k16 0/4 c0 l2 R letter; k17 4/4 c5 l3 R from; k17 8/4 c12 l3 R to; "
     "k17 12/4 c22 l3 RD step; k25 16/48 rest"},
    {"BEG READ",
     "k2 0/3 c0 l3 RD app; k14 3/8 c4 l8 R file; k24 11/1 c19 l1 RD hold; "
     "k3 12/23 c42 l22 key; k25 35/29 rest"},
    {"BLANK",
     "k4 0/4 c27 l3 occ; k2 4/3 c0 l3 D app; k3 7/23 c4 l22 field; "
     "k5 30/4 c48 l3 appear; k25 34/30 rest"},
    {"BLINK",
     "k4 0/4 c27 l3 occ; k2 4/3 c0 l3 D app; k3 7/23 c4 l22 field; "
     "k5 30/4 c48 l3 appear; k25 34/30 rest"},
    {"BRIGHT",
     "k4 0/4 c27 l3 occ; k2 4/3 c0 l3 D app; k3 7/23 c4 l22 field; "
     "k5 30/4 c48 l3 appear; k25 34/30 rest"},
    {"CALC",
     "k16 0/4 c0 l2 R letter; k1 4/59 c5 l59 R expr; k25 63/1 rest"},
    {"CALL",
     "k4 0/4 c27 l3 occ; k2 4/3 c0 l3 D app; k3 7/23 c4 l22 field; "
     "k11 30/1 c41 l1 RDN resident; k11 31/1 c49 l1 RDN end; "
     "k8 32/1 c57 l1 RD fail; k25 33/31 rest"},
    {"CANCEL",
     "k1 0/64 c0 l64 text"},
    {"CLOSE",
     "k2 0/3 c0 l3 RD app; k14 3/8 c4 l8 R file; k11 11/1 c29 l1 RDY physical; "
     "k25 12/52 rest"},
    {"CNV BIN",
     "k4 0/4 c27 l3 occ; k2 4/3 c0 l3 RD app; k3 7/23 c4 l22 R field; "
     "k4 30/4 c61 l3 occ2; k2 34/3 c34 l3 D app2; k3 37/23 c38 l22 R field2; "
     "k25 60/4 rest"},
    {"CNV FLT",
     "k4 0/4 c27 l3 occ; k2 4/3 c0 l3 RD app; k3 7/23 c4 l22 R field; "
     "k4 30/4 c61 l3 occ2; k2 34/3 c34 l3 RD app2; k3 37/23 c38 l22 R field2; "
     "k25 60/4 rest"},
    {"CNV TEXT",
     "k4 0/4 c27 l3 occ; k2 4/3 c0 l3 RD app; k3 7/23 c4 l22 R field; "
     "k4 30/4 c61 l3 occ2; k2 34/3 c34 l3 RD app2; k3 37/23 c38 l22 R field2; "
     "k25 60/4 rest"},
    {"CNV ZONE",
     "k4 0/4 c27 l3 occ; k2 4/3 c0 l3 RD app; k3 7/23 c4 l22 R field; "
     "k4 30/4 c61 l3 occ2; k2 34/3 c34 l3 RD app2; k3 37/23 c38 l22 R field2; "
     "k25 60/4 rest"},
    {"COMPUTE",
     "k4 0/4 c27 l3 occ; k2 4/3 c0 l3 RD app; k3 7/23 c4 l22 R field; "
     "k4 30/4 c61 l3 occ2; k2 34/3 c34 l3 D app2; k3 37/23 c38 l22 R field2; "
     "k10 60/1 c31 l1 R op; k25 61/3 rest"},
    {"COPY",
     "k2 0/3 c0 l3 RD app; k6 3/30 c4 l30 R proc; k25 33/31 rest"},
    {"CREATE",
     "k2 0/3 c0 l3 RD app; k14 3/8 c4 l8 R file; k11 11/1 c21 l1 RDY share; "
     "k8 12/1 c29 l1 RD fail; k25 13/51 rest"},
    {"DATE ADD",
     "k4 0/4 c27 l3 occ; k2 4/3 c0 l3 RD app; k3 7/23 c4 l22 R field; "
     "k4 30/4 c61 l3 occ2; k2 34/3 c34 l3 D app2; k3 37/23 c38 l22 R field2; "
     "k18 60/1 c31 l1 R unit; k25 62/2 rest"},
    {"DATE BTW",
     "k4 0/4 c27 l3 occ; k2 4/3 c0 l3 RD app; k3 7/23 c4 l22 R field; "
     "k4 30/4 c61 l3 occ2; k2 34/3 c34 l3 D app2; k3 37/23 c38 l22 R field2; "
     "k18 60/1 c31 l1 R unit; k25 62/2 rest"},
    {"DEFINE",
     "k4 0/4 c27 l3 occ; k2 4/3 c0 l3 RD app; k3 7/23 c4 l22 R field; "
     "k5 30/4 c48 l3 appear; k25 34/30 rest"},
    {"DELETE",
     "k2 0/3 c0 l3 RD app; k14 3/8 c4 l8 R file; k25 11/53 rest"},
    {"DIM",
     "k4 0/4 c27 l3 occ; k2 4/3 c0 l3 D app; k3 7/23 c4 l22 field; "
     "k5 30/4 c48 l3 appear; k25 34/30 rest"},
    {"DISPLAY",
     "k4 0/4 c27 l3 occ; k2 4/3 c0 l3 D app; k3 7/23 c4 l22 field; "
     "k5 30/4 c48 l3 appear; k25 34/30 rest"},
    {"END",
     "k25 0/64 rest"},
    {"END AT",
     "k2 0/3 c0 l3 RD app; k14 3/8 c4 l8 R file; k15 11/1 c13 l2 R rel; "
     "k4 12/4 c43 l3 occ; k2 16/3 c16 l3 D app2; k3 19/23 c20 l22 field; "
     "k25 42/22 rest"},
    {"END LOOP",
     "k16 0/4 c0 l2 R letter; k25 4/60 rest"},
    {"END PROC",
     "k25 0/64 rest"},
    {"END READ",
     "k2 0/3 c0 l3 RD app; k14 3/8 c4 l8 R file; k25 11/53 rest"},
    {"ERROR",
     "k1 0/64 c0 l64 text"},
    {"EXIT",
     "k25 0/64 rest"},
    {"GOSUB",
     "k2 0/3 c0 l3 app; k6 3/30 c4 l30 R proc; k25 33/31 rest"},
    {"GOTO",
     "k1 0/30 c0 l30 R label; k25 30/34 rest"},
    {"IF",
     "k4 0/4 c27 l3 occ; k2 4/3 c0 l3 RD app; k3 7/23 c4 l22 R field; "
     "k4 30/4 c61 l3 occ2; k2 34/3 c34 l3 D app2; k3 37/23 c38 l22 field2; "
     "k9 60/1 c31 l2 R rel; k25 61/3 rest"},
    {"IF EXIST",
     "k2 0/3 c0 l3 RD app; k14 3/8 c4 l8 R file; k8 11/1 c29 l1 RD fail; "
     "k25 12/52 rest"},
    {"INPUT",
     "k2 0/3 c0 l3 D app; k6 3/30 c4 l30 proc; k7 33/1 c37 l10 RD invoc; "
     "k11 34/1 c55 l1 RDN end; k8 35/1 c63 l1 RD fail; k25 36/28 rest"},
    {"INVERSE",
     "k4 0/4 c27 l3 occ; k2 4/3 c0 l3 D app; k3 7/23 c4 l22 field; "
     "k5 30/4 c48 l3 appear; k25 34/30 rest"},
    {"LABEL",
     "k1 0/30 c0 l30 R label; k25 30/34 rest"},
    {"LOGOUT",
     "k11 0/1 c8 l1 RDY system; k25 1/63 rest"},
    {"MENU",
     "k2 0/3 c0 l3 D app; k6 3/30 c4 l30 proc; k7 33/1 c37 l10 RD invoc; "
     "k11 34/1 c55 l1 RDN end; k8 35/1 c63 l1 RD fail; k25 36/28 rest"},
    {"MESSAGE",
     "k1 0/64 c0 l64 text"},
    {"NO INPUT",
     "k4 0/4 c27 l3 occ; k2 4/3 c0 l3 D app; k3 7/23 c4 l22 field; "
     "k5 30/4 c48 l3 appear; k25 34/30 rest"},
    {"NO TRACE",
     "k1 0/64 c0 l64 text"},
    {"NO ULINE",
     "k4 0/4 c27 l3 occ; k2 4/3 c0 l3 D app; k3 7/23 c4 l22 field; "
     "k5 30/4 c48 l3 appear; k25 34/30 rest"},
    {"NORMAL",
     "k4 0/4 c27 l3 occ; k2 4/3 c0 l3 D app; k3 7/23 c4 l22 field; "
     "k5 30/4 c48 l3 appear; k25 34/30 rest"},
    {"OK INPUT",
     "k4 0/4 c27 l3 occ; k2 4/3 c0 l3 D app; k3 7/23 c4 l22 field; "
     "k5 30/4 c48 l3 appear; k25 34/30 rest"},
    {"OPEN",
     "k2 0/3 c0 l3 RD app; k14 3/8 c4 l8 R file; k11 11/1 c21 l1 RDY share; "
     "k8 12/1 c29 l1 RD fail; k25 13/51 rest"},
    {"OR",
     "k4 0/4 c27 l3 occ; k2 4/3 c0 l3 RD app; k3 7/23 c4 l22 R field; "
     "k4 30/4 c61 l3 occ2; k2 34/3 c34 l3 D app2; k3 37/23 c38 l22 field2; "
     "k9 60/1 c31 l2 R rel; k25 61/3 rest"},
    {"OUTPUT",
     "k2 0/3 c0 l3 D app; k6 3/30 c4 l30 proc; k7 33/1 c37 l10 RD invoc; "
     "k11 34/1 c55 l1 RDN end; k8 35/1 c63 l1 RD fail; k25 36/28 rest"},
    {"OVERFLOW",
     "k1 0/30 c0 l30 label; k25 30/34 rest"},
    {"PASS",
     "k4 0/4 c27 l3 occ; k2 4/3 c0 l3 D app; k3 7/23 c4 l22 R field; "
     "k20 30/1 c31 l14 R area; k11 31/1 c55 l1 RDN share; k25 32/32 rest"},
    {"POSITION",
     "k4 0/4 c27 l3 occ; k2 4/3 c0 l3 D app; k3 7/23 c4 l22 field; "
     "k5 30/4 c48 l3 appear; k25 34/30 rest"},
    {"PRINT",
     "k4 0/4 c27 l3 occ; k2 4/3 c0 l3 RD app; k3 7/23 c4 l22 R field; "
     "k13 30/4 c34 l3 R row; k13 34/4 c43 l3 R rows; k13 38/4 c55 l3 R cols; "
     "k25 42/22 rest"},
    {"QUERY",
     "k2 0/3 c0 l3 D app; k6 3/30 c4 l30 proc; k7 33/1 c37 l10 RD invoc; "
     "k11 34/1 c55 l1 RDN end; k8 35/1 c63 l1 RD fail; k25 36/28 rest"},
    {"READ",
     "k2 0/3 c0 l3 RD app; k14 3/8 c4 l8 R file; k24 11/1 c19 l1 RD hold; "
     "k8 12/1 c29 l1 RD fail; k3 13/23 c42 l22 key; k25 36/28 rest"},
    {"READNEXT",
     "k2 0/3 c0 l3 RD app; k14 3/8 c4 l8 R file; k24 11/1 c19 l1 RD hold; "
     "k8 12/1 c29 l1 RD fail; k3 13/23 c42 l22 key; k25 36/28 rest"},
    {"RECEIVE",
     "k4 0/4 c27 l3 occ; k2 4/3 c0 l3 RD app; k3 7/23 c4 l22 R field; "
     "k20 30/1 c31 l14 R area; k11 31/1 c55 l1 RDN fail; k25 32/32 rest"},
    {"RESTORE",
     "k4 0/4 c27 l3 occ; k2 4/3 c0 l3 RD app; k3 7/23 c4 l22 R field; "
     "k19 30/1 c31 l14 R area; k25 31/33 rest"},
    {"RETURN",
     "k4 0/4 c27 l3 occ; k2 4/3 c0 l3 app; k3 7/23 c4 l22 field; k25 30/34 rest"},
    {"REWRITE",
     "k2 0/3 c0 l3 RD app; k14 3/8 c4 l8 R file; k8 11/1 c29 l1 RD fail; "
     "k25 12/52 rest"},
    {"RUN",
     "k4 0/4 c27 l3 occ; k2 4/3 c0 l3 D app; k3 7/23 c4 l22 field; "
     "k11 30/1 c49 l1 RDN end; k8 31/1 c57 l1 RD fail; k25 32/32 rest"},
    {"SCAN",
     "k4 0/4 c27 l3 occ; k2 4/3 c0 l3 RD app; k3 7/23 c4 l22 R field; "
     "k4 30/4 c61 l3 occ2; k2 34/3 c34 l3 RD app2; k3 37/23 c38 l22 R field2; "
     "k25 60/4 rest"},
    {"SCRATCH",
     "k2 0/3 c0 l3 RD app; k14 3/8 c4 l8 R file; k8 11/1 c29 l1 RD fail; "
     "k25 12/52 rest"},
    {"SELECT",
     "k2 0/3 c0 l3 RD app; k14 3/8 c4 l8 R file; k3 11/23 c42 l22 key; "
     "k25 34/30 rest"},
    {"SET",
     "k4 0/4 c27 l3 occ; k2 4/3 c0 l3 RD app; k3 7/23 c4 l22 R field; "
     "k4 30/4 c61 l3 occ2; k2 34/3 c34 l3 D app2; k3 37/23 c38 l22 field2; "
     "k25 60/4 rest"},
    {"SET DATE",
     "k4 0/4 c27 l3 occ; k2 4/3 c0 l3 RD app; k3 7/23 c4 l22 R field; "
     "k25 30/34 rest"},
    {"SET DAY",
     "k4 0/4 c27 l3 occ; k2 4/3 c0 l3 RD app; k3 7/23 c4 l22 R field; "
     "k4 30/4 c61 l3 occ2; k2 34/3 c34 l3 D app2; k3 37/23 c38 l22 field2; "
     "k21 60/1 c31 l1 RD form; k25 61/3 rest"},
    {"SET MNTH",
     "k4 0/4 c27 l3 occ; k2 4/3 c0 l3 RD app; k3 7/23 c4 l22 R field; "
     "k4 30/4 c61 l3 occ2; k2 34/3 c34 l3 D app2; k3 37/23 c38 l22 field2; "
     "k21 60/1 c31 l1 RD form; k25 61/3 rest"},
    {"SET TEMP",
     "k13 0/4 c9 l3 R at; k13 4/4 c17 l3 R for; k23 8/4 c21 l4 R dir; "
     "k13 12/4 c26 l3 R pos; k4 16/4 c61 l3 occ; k2 20/3 c34 l3 D app; "
     "k3 23/23 c38 l22 field; k22 46/5 c0 l5 R word; k25 51/13 rest"},
    {"SET TOT",
     "k4 0/4 c27 l3 occ; k2 4/3 c0 l3 RD app; k3 7/23 c4 l22 R field; "
     "k4 30/4 c61 l3 occ2; k2 34/3 c34 l3 D app2; k3 37/23 c38 l22 R field2; "
     "k25 60/4 rest"},
    {"STORE",
     "k4 0/4 c27 l3 occ; k2 4/3 c0 l3 RD app; k3 7/23 c4 l22 R field; "
     "k19 30/1 c31 l14 R area; k25 31/33 rest"},
    {"SUBR",
     "k2 0/3 c0 l3 D app; k6 3/30 c4 l30 proc; k7 33/1 c37 l10 RD invoc; "
     "k11 34/1 c55 l1 RDN end; k8 35/1 c63 l1 RD fail; k25 36/28 rest"},
    {"TIMEOUT",
     "k1 0/30 c0 l30 label; k4 30/4 c61 l3 occ; k2 34/3 c34 l3 app; "
     "k3 37/23 c38 l22 field; k25 60/4 rest"},
    {"TOTAL",
     "k4 0/4 c27 l3 occ; k2 4/3 c0 l3 RD app; k3 7/23 c4 l22 R field; "
     "k4 30/4 c61 l3 occ2; k2 34/3 c34 l3 D app2; k3 37/23 c38 l22 R field2; "
     "k10 60/1 c31 l1 R op; k25 61/3 rest"},
    {"VERSION",
     "k1 0/64 c0 l64 text"},
    {"TRAP",
     "k25 0/64 rest"},
    {"ULINE",
     "k4 0/4 c27 l3 occ; k2 4/3 c0 l3 D app; k3 7/23 c4 l22 field; "
     "k5 30/4 c48 l3 appear; k25 34/30 rest"},
    {"UNDEFINE",
     "k4 0/4 c27 l3 occ; k2 4/3 c0 l3 RD app; k3 7/23 c4 l22 R field; "
     "k5 30/4 c48 l3 appear; k25 34/30 rest"},
    {"WARNING",
     "k1 0/64 c0 l64 text"},
    {"WRITE",
     "k2 0/3 c0 l3 RD app; k14 3/8 c4 l8 R file; k8 11/1 c29 l1 RD fail; "
     "k25 12/52 rest"},
    {"FREE ALL",
     "k25 0/64 rest"},
    {"DEBUG",
     "k1 0/50 c0 l50 text; k25 0/14 rest"},
    {"UPDATE",
     "k2 0/3 c0 l3 D app; k6 3/30 c4 l30 proc; k7 33/1 c37 l10 RD invoc; "
     "k11 34/1 c55 l1 RDN end; k8 35/1 c63 l1 RD fail; k25 36/28 rest"},
    {"JOB",
     "k2 0/3 c0 l3 D app; k6 3/30 c4 l30 proc; k7 33/1 c37 l10 RD invoc; "
     "k11 34/1 c55 l1 RDN end; k8 35/1 c63 l1 RD fail; k25 36/28 rest"},
    {"INQUIRY",
     "k2 0/3 c0 l3 D app; k6 3/30 c4 l30 proc; k7 33/1 c37 l10 RD invoc; "
     "k11 34/1 c55 l1 RDN end; k8 35/1 c63 l1 RD fail; k25 36/28 rest"},
    {"STATUS",
     "k2 0/3 c0 l3 D app; k6 3/30 c4 l30 proc; k7 33/1 c37 l10 RD invoc; "
     "k11 34/1 c55 l1 RDN end; k8 35/1 c63 l1 RD fail; k25 36/28 rest"},
    {"DISP",
     "k2 0/3 c0 l3 D app; k6 3/30 c4 l30 proc; k7 33/1 c37 l10 RD invoc; "
     "k11 34/1 c55 l1 RDN end; k8 35/1 c63 l1 RD fail; k25 36/28 rest"},
    {"FONT",
     "k4 0/4 c27 l3 occ; k2 4/3 c0 l3 D app; k3 7/23 c4 l22 field; "
     "k5 30/4 c48 l3 appear; k25 34/30 rest"},
    {"COLOR",
     "k4 0/4 c27 l3 occ; k2 4/3 c0 l3 D app; k3 7/23 c4 l22 field; "
     "k5 30/4 c48 l3 appear; k25 34/30 rest"},
    {"PICTURE",
     "k4 0/4 c27 l3 occ; k2 4/3 c0 l3 D app; k3 7/23 c4 l22 field; "
     "k5 30/4 c48 l3 appear; k25 34/30 rest"},
    {"BROWSE",
     "k4 0/4 c27 l3 occ; k2 4/3 c0 l3 D app; k3 7/23 c4 l22 field; "
     "k5 30/4 c48 l3 appear; k25 34/30 rest"},
    {"VERIFY",
     "k4 0/4 c27 l3 occ; k2 4/3 c0 l3 RD app; k3 7/23 c4 l22 R field; "
     "k20 30/1 c36 l14 R area; k8 31/1 c56 l1 RD fail; k25 32/30 rest"},
    {"GETATTR",
     "k4 0/4 c27 l3 occ; k2 4/3 c0 l3 RD app; k3 7/23 c4 l22 R field; "
     "k2 30/3 c34 l3 D app2; k14 33/8 c38 l8 R file; k1 41/14 c47 l14 R attr; "
     "k25 55/9 rest"},
    {"PUTATTR",
     "k2 0/3 c0 l3 D app; k14 3/8 c4 l8 R file; k1 11/14 c13 l14 R attr; "
     "k4 28/4 c61 l3 occ; k2 32/3 c34 l3 D app2; k3 35/23 c38 l22 field; "
     "k25 56/7 rest"},
    {"DELATTR",
     "k2 0/3 c0 l3 D app; k14 3/8 c4 l8 R file; k1 11/14 c13 l14 R attr; "
     "k25 28/7 rest"},
    {"MOVEATTR",
     "k2 0/3 c0 l3 D app; k14 3/8 c4 l8 R file; k4 28/4 c61 l3 occ; "
     "k2 32/3 c34 l3 D app2; k3 35/23 c38 l22 field; k25 56/7 rest"},
    {"GETATTRS",
     "k2 0/3 c0 l3 D app; k14 3/8 c4 l8 R file; k2 11/3 c34 l3 D app2; "
     "k14 14/8 c38 l8 R file2"},
    {"PUTATTRS",
     "k2 0/3 c0 l3 D app; k14 3/8 c4 l8 R file; k2 11/3 c34 l3 D app2; "
     "k14 14/8 c38 l8 R file2"},
    {"DELATTRS",
     "k2 0/3 c0 l3 D app; k14 3/8 c4 l8 R file; k2 11/3 c34 l3 D app2; "
     "k14 14/8 c38 l8 R file2"},
    {"REFRESH",
     "k1 0/64 c0 l64 text"},
};

// Operand templates: the keywords printed in the operand part before the
// fields are placed (message number, built-in text by column).
struct Tpl {
  uint32_t msg;                  // 0: no message, always the built-in text
  const char* words;             // "col:word|col:word..."
  std::initializer_list<int> verbs;
};
const Tpl kTemplates[] = {
    {106090, "0:   =     TO      STEP", {7}},
    {106100, "14:HOLD|34:KEY IS", {8, 60}},
    {106110, "14:HOLD|24:FAIL|34:KEY IS", {59}},
    {106120, "34:KEY IS", {68}},
    {106130, "31:(AT APPEARANCE #    )",
     {5, 9, 10, 11, 25, 27, 28, 41, 46, 48, 49, 50, 56, 81, 82, 94, 93, 95, 92}},
    {0, "0:   =", {12}},
    {0, "31:=", {16, 18, 66, 69, 74, 97, 98, 101, 102}},
    {106140, "50:END?|58:FAIL", {44, 40, 53, 2, 58, 76, 87, 88, 89, 90, 91}},
    {106150, "31:RESIDENT?|44:END?|52:FAIL", {13}},
    {106160, "44:END?|52:FAIL", {65}},
    {106170, "14:PHYSICAL?", {15}},
    {106180, "0:SYSTEM?", {43}},
    {106190, "31:TYPE|50:FAIL", {96}},
    {106200, "48:SHARE?", {55}},
    {106210, "50:FAIL", {61}},
    {106220, "6:AT|13:FOR|30:OF", {73}},
    {106230, "31:AT|38:ROWS|47:COLUMNS", {57}},
    {106240, "24:FAIL", {84, 64, 39, 67}},
    {106250, "14:SHARE?|24:FAIL", {22, 51}},
};

struct Table {
  std::vector<XmeEntry> entries;          // the 613 entries
  std::array<int, kSeVerbs> first{};      // index of each verb's first entry
  std::array<int, kSeVerbs> count{};
  std::vector<std::string> names;         // per entry
  std::array<std::string, kSeVerbs> builtin_tpl;   // 64 characters each
  std::array<uint32_t, kSeVerbs> tpl_msg{};
};

[[noreturn]] void table_fault(int verb, const char* what) {
  std::fprintf(stderr, "xme_stmt: verb %d: %s\n", verb, what);
  std::abort();
}

XmeEntry parse_entry(int verb, const std::string& f, std::string* name) {
  XmeEntry e{};
  unsigned kind = 0, off = 0, width = 0, col = 0, len = 0;
  int used = 0;
  if (std::sscanf(f.c_str(), "k%u %u/%u%n", &kind, &off, &width, &used) != 3) table_fault(verb, f.c_str());
  std::string rest = f.substr(size_t(used));
  size_t pos = 0;
  auto word = [&]() {
    while (pos < rest.size() && rest[pos] == ' ') ++pos;
    size_t b = pos;
    while (pos < rest.size() && rest[pos] != ' ') ++pos;
    return rest.substr(b, pos - b);
  };
  std::vector<std::string> words;
  for (std::string w = word(); !w.empty(); w = word()) words.push_back(w);
  if (words.empty()) table_fault(verb, "entry without a name");
  *name = words.back();
  words.pop_back();
  uint8_t flags = 0;
  for (const std::string& w : words) {
    if (w[0] == 'c') col = unsigned(std::atoi(w.c_str() + 1));
    else if (w[0] == 'l') len = unsigned(std::atoi(w.c_str() + 1));
    else
      for (char ch : w) {
        switch (ch) {
          case 'R': flags |= kXmeRequired; break;
          case 'D': flags |= kXmeDefault; break;
          case 'Y': flags |= kXmeDefYes; break;
          case 'N': flags |= kXmeDefNo; break;
          case '1': flags |= kXmeDefOne; break;
          default: table_fault(verb, f.c_str());
        }
      }
  }
  if (kind < 1 || kind > 25 || off + width > kSeOpLen || col + len > kSeOpLen) table_fault(verb, f.c_str());
  e.offset = uint16_t(off);
  e.col = uint16_t(col);
  e.width = uint16_t(width);
  e.len = uint8_t(len);
  e.kind = uint8_t(kind);
  e.flags = flags;
  return e;
}

const Table& table() {
  static const Table t = [] {
    Table t;
    t.entries.push_back(XmeEntry{});
    t.names.emplace_back();
    for (int v = 0; v < kSeVerbs; ++v) {
      t.first[size_t(v)] = int(t.entries.size());
      std::string s = kRows[v].layout;
      size_t b = 0;
      while (b < s.size()) {
        size_t e = s.find(';', b);
        if (e == std::string::npos) e = s.size();
        std::string f = s.substr(b, e - b);
        while (!f.empty() && f[0] == ' ') f.erase(0, 1);
        std::string name;
        t.entries.push_back(parse_entry(v, f, &name));
        t.names.push_back(name);
        b = e + 1;
      }
      t.count[size_t(v)] = int(t.entries.size()) - t.first[size_t(v)];
      if (t.count[size_t(v)] > kSeMaxEntries) table_fault(v, "too many entries");
      t.entries.push_back(XmeEntry{});
      t.names.emplace_back();
      t.builtin_tpl[size_t(v)].assign(kSeOpLen, ' ');
    }
    for (const Tpl& tp : kTemplates) {
      std::string text(kSeOpLen, ' ');
      std::string w = tp.words;
      size_t b = 0;
      while (b < w.size()) {
        size_t e = w.find('|', b);
        if (e == std::string::npos) e = w.size();
        std::string item = w.substr(b, e - b);
        size_t colon = item.find(':');
        size_t col = size_t(std::atoi(item.c_str()));
        std::string kw = item.substr(colon + 1);
        text.replace(col, kw.size(), kw);
        b = e + 1;
      }
      for (int v : tp.verbs) {
        t.builtin_tpl[size_t(v)] = text;
        t.tpl_msg[size_t(v)] = tp.msg;
      }
    }
    return t;
  }();
  return t;
}

// ------------------------------------------------------------ spellings --

struct Spell {
  bool loaded = false;
  bool builtin = false;
  char lang[3] = {};                        // language id the words are of
  std::array<uint64_t, kSeVerbs> vkey{};    // the verb spellings' 8 bytes, for the reader
  std::array<int16_t, 256> vslot{};         // verbs by vkey (open addressing), -1 empty
  std::array<std::string, kSeVerbs> verb;   // 8 characters
  std::array<std::string, kSeVerbs> tpl;    // 64 characters
  std::array<std::string, 8> area;          // 1-7, 14 characters
  std::array<std::string, 3> dir;           // 1 FROM, 2 INTO, 4 characters
  std::array<std::string, 3> invoc;         // 0-2, 10 characters
  std::array<std::string, 9> rel;           // 1-8, 2 characters
};
Spell g_spell;

std::string fit(std::string s, size_t n) {
  s.resize(n, ' ');
  return s;
}

std::string word_of(uint32_t msg, const char* builtin, bool use_builtin) {
  if (msg && !use_builtin) {
    std::string s = la_text(msg);
    if (!s.empty()) return s;
  }
  return builtin;
}

uint64_t key8(const char* p) {
  uint64_t k;
  std::memcpy(&k, p, 8);
  return k;
}

size_t vslot_of(uint64_t k) { return size_t((k * 0x9E3779B97F4A7C15ull) >> 56); }

inline void ensure_spellings() {
  if (!g_spell.loaded || (!g_spell.builtin && std::memcmp(com.language.data(), g_spell.lang, 3) != 0))
    se_load_spellings(g_spell.builtin);
}

}  // namespace

// --------------------------------------------------------------- table --

const XmeEntry* xme_stmt(int* count) {
  const Table& t = table();
  if (count) *count = int(t.entries.size());
  return t.entries.data();
}

const XmeEntry* xme_run(int verb, int* count) {
  assert(verb >= 0 && verb < kSeVerbs);
  const Table& t = table();
  if (count) *count = t.count[size_t(verb)];
  return &t.entries[size_t(t.first[size_t(verb)])];
}

const char* xme_name(int verb, int i) {
  const Table& t = table();
  assert(verb >= 0 && verb < kSeVerbs && i >= 0 && i < t.count[size_t(verb)]);
  return t.names[size_t(t.first[size_t(verb)] + i)].c_str();
}

const XmeEntry* xme_op(int verb, std::string_view name) {
  const Table& t = table();
  if (verb < 0 || verb >= kSeVerbs) return nullptr;
  for (int i = 0; i < t.count[size_t(verb)]; ++i)
    if (t.names[size_t(t.first[size_t(verb)] + i)] == name) return &t.entries[size_t(t.first[size_t(verb)] + i)];
  return nullptr;
}

const char* se_builtin_verb(int verb) {
  assert(verb >= 0 && verb < kSeVerbs);
  return kRows[verb].verb;
}

int se_verb_code(std::string_view spelling) {
  while (!spelling.empty() && spelling.back() == ' ') spelling.remove_suffix(1);
  for (int v = 0; v < kSeVerbs; ++v)
    if (spelling == kRows[v].verb) return v;
  return -1;
}

// ------------------------------------------------------------ spellings --

void se_load_spellings(bool builtin) {
  const Table& t = table();
  Spell& s = g_spell;
  s.builtin = builtin;
  std::memcpy(s.lang, com.language.data(), 3);
  for (int v = 0; v < kSeVerbs; ++v) {
    // Verbs 100-104 would read the area names 106000-106040: built-in only.
    uint32_t msg = v < 100 ? uint32_t(105000 + 10 * v) : 0;
    s.verb[size_t(v)] = fit(word_of(msg, kRows[v].verb, builtin), 8);
    s.vkey[size_t(v)] = key8(s.verb[size_t(v)].data());
    std::string tpl = t.builtin_tpl[size_t(v)];
    if (t.tpl_msg[size_t(v)] && !builtin) {
      std::string m = la_text(t.tpl_msg[size_t(v)]);
      if (!m.empty()) tpl = fit(m, kSeOpLen);
    }
    s.tpl[size_t(v)] = tpl;
  }
  // The first verb of a spelling keeps its slot (as a search in code order finds it).
  s.vslot.fill(-1);
  for (int v = 0; v < kSeVerbs; ++v) {
    size_t h = vslot_of(s.vkey[size_t(v)]);
    while (s.vslot[h] >= 0 && s.vkey[size_t(s.vslot[h])] != s.vkey[size_t(v)]) h = (h + 1) & 255;
    if (s.vslot[h] < 0) s.vslot[h] = int16_t(v);
  }
  static const char* const areas[8] = {"", "FIELD", "FILE", "RECORD", "STORE RECORD", "STORE FIELD",
                                       "DEFAULT RECORD", "DEFAULT FIELD"};
  static const uint32_t area_msg[8] = {0, 106000, 106010, 106040, 106020, 106030, 106060, 106050};
  for (int i = 1; i < 8; ++i) s.area[size_t(i)] = fit(word_of(area_msg[i], areas[i], builtin), 14);
  s.dir[1] = fit(word_of(106070, "FROM", builtin), 4);
  s.dir[2] = fit(word_of(106080, "INTO", builtin), 4);
  static const char* const invocs[3] = {"SUBPROCESS", "RELATED", "DETACHED"};
  for (int i = 0; i < 3; ++i) s.invoc[size_t(i)] = fit(word_of(106260 + 10 * uint32_t(i), invocs[i], builtin), 10);
  static const char* const rels[7] = {"EQ", "GE", "GT", "LE", "LT", "NE", "IN"};
  for (int i = 0; i < 7; ++i) {
    std::string_view c = com.rel_codes[i].view();
    s.rel[size_t(i + 1)] = builtin || com.rel_codes[i].blank() ? std::string(rels[i]) : std::string(c);
  }
  s.rel[8] = "EX";
  s.loaded = true;
}

std::string_view se_get_verb_spell(int verb) {
  assert(verb >= 0 && verb < kSeVerbs);
  ensure_spellings();
  return g_spell.verb[size_t(verb)];
}

int se_find_verb(const char* text, bool display_names) {
  ensure_spellings();
  if (display_names) {
    if (std::memcmp(text, "BOLD    ", 8) == 0) return kVerbBright;
    if (std::memcmp(text, "NO BOLD ", 8) == 0) return kVerbDim;
  }
  uint64_t k = key8(text);
  for (size_t h = vslot_of(k);; h = (h + 1) & 255) {
    int v = g_spell.vslot[h];
    if (v < 0 || g_spell.vkey[size_t(v)] == k) return v;
  }
}

std::string_view se_template(int verb) {
  assert(verb >= 0 && verb < kSeVerbs);
  ensure_spellings();
  return g_spell.tpl[size_t(verb)];
}

std::string_view se_rel_code(int code) {
  ensure_spellings();
  if (code < 1 || code > 8) return {};
  return g_spell.rel[size_t(code)];
}

int se_rel_find(const char* t, int first) {
  ensure_spellings();
  for (int c = first < 1 ? 1 : first; c <= 8; ++c) {
    const std::string& w = g_spell.rel[size_t(c)];
    if (w.empty()) continue;
    if (t[0] == w[0] && t[1] == (w.size() > 1 ? w[1] : ' ')) return c;
  }
  return 0;
}

// Spellings the reader compares against (se3).
std::string_view se_area_name(int index) {
  ensure_spellings();
  return index >= 1 && index <= 7 ? std::string_view(g_spell.area[size_t(index)]) : std::string_view();
}
std::string_view se_dir_word(int index) {
  ensure_spellings();
  return index == 1 || index == 2 ? std::string_view(g_spell.dir[size_t(index)]) : std::string_view();
}
std::string_view se_invoc_name(int kind) {
  ensure_spellings();
  return kind >= 0 && kind <= 2 ? std::string_view(g_spell.invoc[size_t(kind)]) : std::string_view();
}

// ----------------------------------------------------------- occurrences --

void put_occ(char* text, const SeOcc& occ, int len) {
  char buf[4] = {' ', ' ', ' ', 0};
  switch (occ.type) {
    case kOccLetters:
      buf[0] = char(occ.v[0]);
      buf[1] = char(occ.v[1]);
      break;
    case kOccNumber: {
      int n = occ.num();
      if (n >= 0 && n <= 999) {
        buf[0] = char('0' + n / 100);
        buf[1] = char('0' + n / 10 % 10);
        buf[2] = char('0' + n % 10);
      } else if (n < 0 && n >= -99) {
        buf[0] = '-';
        buf[1] = char('0' + -n / 10);
        buf[2] = char('0' + -n % 10);
      } else {
        buf[0] = buf[1] = buf[2] = '?';
      }
      break;
    }
    default:
      break;
  }
  std::memcpy(text, buf, size_t(len < 3 ? len : 3));
}

// ------------------------------------------------------ text from records --

namespace {

void put_digit(char* out, uint8_t v, uint8_t max) {
  if (v <= max) *out = char('0' + v);
}

void put_default(const XmeEntry& e, uint8_t* src) {
  if (!(e.flags & (kXmeDefault | kXmeDefYes | kXmeDefNo | kXmeDefOne))) return;
  switch (e.kind) {
    case kSeApp:
      if (e.flags & kXmeDefault) std::memcpy(src, com.cur_app.data(), 3);
      break;
    case kSeOcc: case kSeOcc2: case kSeCount: case kSeLoop: case kSeBound:
      if (e.flags & kXmeDefault) rec::view<SeOcc>(src).set_num(1);
      break;
    case kSeInvoc:
      if (e.flags & kXmeDefault) *src = 2;
      break;
    case kSeDigit3: case kSeDigit2:
      if (e.flags & kXmeDefault) *src = 0;
      break;
    case kSeYesNo:
      if (e.flags & kXmeDefYes) *src = '1';
      else if (e.flags & kXmeDefNo) *src = '0';
      break;
    case kSeDigit9:
      if (e.flags & kXmeDefOne) *src = 1;
      break;
    default:
      break;
  }
}

}  // namespace

int se_gen_stmt(SeGenCtx& ctx, DStmt& stmt, int line, int keep_verb) {
  assert(ctx.line && ctx.len >= 0);
  assert(line == 0);   // the editor's screen lines come with the editor
  (void)line;
  ensure_spellings();
  char out[kSeLineLen];
  int verb = stmt.verb;
  if (verb >= kSeVerbs) verb = kVerbLabel;
  if (keep_verb) {
    int n = ctx.len < kSeLineLen ? ctx.len : kSeLineLen;
    std::memset(out, ' ', sizeof out);
    std::memcpy(out, ctx.line, size_t(n));
  } else {
    std::memset(out, ' ', sizeof out);
  }
  std::memcpy(out, stmt.tf.data(), 5);
  char* ops = out + kSeOpCol - 1;
  if (!keep_verb) {
    std::string_view sp = g_spell.verb[size_t(verb)];
    if (ctx.display_names && verb == kVerbBright) sp = "BOLD    ";
    else if (ctx.display_names && verb == kVerbDim) sp = "NO BOLD ";
    std::memcpy(out + 6, sp.data(), 8);
    std::memcpy(ops, g_spell.tpl[size_t(verb)].data(), kSeOpLen);
  }
  int n = 0;
  const XmeEntry* run = xme_run(verb, &n);
  for (int i = 0; i < n; ++i) {
    const XmeEntry& e = run[i];
    uint8_t* src = stmt.ops.data() + e.offset;
    char* dst = ops + e.col;
    if (ctx.mode == kSeModeAdd) put_default(e, src);
    switch (e.kind) {
      case kSeText: case kSeProc: case kSeFile: case kSeWord: case kSeField:
        std::memcpy(dst, src, e.len);
        break;
      case kSeApp:
        if (std::memcmp(src, "0LA", 3) == 0) std::memcpy(dst, "---", 3);
        else std::memcpy(dst, src, 3);
        break;
      case kSeOcc: case kSeOcc2: case kSeCount: case kSeLoop: case kSeBound:
        put_occ(dst, rec::view<SeOcc>(src), e.len);
        break;
      case kSeInvoc:
        if (*src <= 2) std::memcpy(dst, g_spell.invoc[*src].data(), 10);
        else std::memset(dst, ' ', e.len);
        break;
      case kSeDigit3: std::memset(dst, ' ', e.len); put_digit(dst, *src, 3); break;
      case kSeDigit9: std::memset(dst, ' ', e.len); put_digit(dst, *src, 9); break;
      case kSeDigit2: std::memset(dst, ' ', e.len); put_digit(dst, *src, 2); break;
      case kSeRel: case kSeRel2: {
        std::memset(dst, ' ', e.len);
        int code = *src;
        if ((e.kind == kSeRel && code >= 1 && code <= 8) || code == 7 || code == 8)
          std::memcpy(dst, g_spell.rel[size_t(code)].data(), 2);
        break;
      }
      case kSeArith: case kSeDigit8: case kSeDayForm:
        *dst = char(*src);
        break;
      case kSeYesNo:
        *dst = *src == '1' ? 'Y' : *src == ' ' ? ' ' : 'N';
        break;
      case kSeArea: case kSeCommArea: {
        int a = *src;
        bool ok = e.kind == kSeArea ? (a == 1 || a == 3 || a == 6 || a == 7) : (a >= 1 && a <= 7);
        if (ok) std::memcpy(dst, g_spell.area[size_t(a)].data(), 14);
        else std::memset(dst, ' ', e.len);
        break;
      }
      case kSeDir:
        if (std::memcmp(src, "FROM", 4) == 0) std::memcpy(dst, g_spell.dir[1].data(), 4);
        else if (std::memcmp(src, "INTO", 4) == 0) std::memcpy(dst, g_spell.dir[2].data(), 4);
        else std::memcpy(dst, src, 4);
        break;
      case kSeRest:
        break;
      default:
        assert(false);
    }
  }
  std::memset(ctx.line, ' ', size_t(ctx.len));
  std::memcpy(ctx.line, out, size_t(ctx.len < kSeLineLen ? ctx.len : kSeLineLen));
  return 1;
}

int se_list_stmt(const DStmt& stmt, char* out, int len) {
  DStmt copy = stmt;
  SeGenCtx ctx;
  ctx.line = out;
  ctx.len = len;
  return se_gen_stmt(ctx, copy, 0, 0);
}

// ------------------------------------------------------- registration --

int se_init() {
  (void)xme_stmt(nullptr);
  se_load_spellings();
  return 1;
}

void se_register() {
  os_set_init(OsInit::Se, se_init);
  proc_svc.se_gen_stmt = [](void* work, const DStmt* stmt, int line, int keep_verb) {
    DStmt copy = *stmt;
    SeGenCtx ctx;
    ctx.line = static_cast<char*>(work);
    ctx.len = kSeWorkLen;
    return se_gen_stmt(ctx, copy, line, keep_verb);
  };
  proc_svc.cnv_token = [](void* work, const DStmt* stmt, int direction) {
    auto* out = static_cast<DStmt*>(work);
    if (out != stmt) *out = *stmt;
    return cnv_token(*out, com.cur_ver.data(), direction, 0, nullptr);
  };
}
