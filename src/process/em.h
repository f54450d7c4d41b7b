// The executable module (EM): the compiled form of one process in one
// language. Its header is at once the record of the module cache and the
// first record of the saved module file, so its layout is a file format:
// every field keeps its offset. The sub-files it names are memory work files
// of the module (their handles, like every address here, mean something only
// in memory; the loader clears them when it reads a saved header).
//
// Bytes the interpreter owns:
//   cur_ep (1340)        the event point running now (set by ii_exec; read by
//                        the debugger);
//   code_relocated (1343) 1 once any instruction of the module has been
//                        relocated: its code then holds this engine's arena
//                        references, so the module may not be saved;
//   block_bases (1344)   the table of INST block addresses that maps a native
//                        instruction pointer to (block, offset) (ib.h).
#pragma once

#include <cstdint>
#include <initializer_list>

#include "foundation/mm.h"
#include "foundation/record.h"

struct FmArb;

constexpr uint8_t kEmMark = 'Q';   // format mark of this engine's modules
constexpr int kEmProcEps = 11;     // process-level event points 01-11

struct EmHeader {
  rec::U8 mark;                // 0    'Q'; any other value: a module of another engine
  rec::Bytes<3> b1;            // 1
  rec::U32 status;             // 4    0 normal; 1 save again; 6 deleted; 7 in use; 8 resident; else a file status
  rec::Text<3> app;            // 8
  rec::Text<2> ver;            // 11
  rec::U8 proc_type;           // 13
  rec::Text<30> proc_name;     // 14
  rec::Text<3> lang;           // 44
  rec::U8 proc_class;          // 47   definition 69
  rec::U8 retention;           // 48   definition 71: 0-100 evictable, 101+ resident
  rec::Bytes<3> b49;           // 49
  rec::U32 created_day;        // 52   creation stamp: day number, hundredths (names the saved file)
  rec::U32 created_time;       // 56
  rec::U32 changed_day;        // 60   modification stamp
  rec::U32 changed_time;       // 64
  rec::U8 def89;               // 68
  rec::Bytes<3> b69;           // 69
  rec::I32 exec_secr;          // 72   execution security code, -1 none
  rec::I32 secr2;              // 76
  rec::I32 secr3;              // 80
  rec::I32 secr4;              // 84
  rec::Bytes<3> flags106;      // 88   1 where definition 106-108 hold '1'
  rec::U8 dflt_mode;           // 91   definition 109: DEFAULT MODE of an Input process, 1-254; 0 none
  rec::U32 pcf_file;           // 92   file number of the PCF (0 until resolved)
  rec::Text<3> pcf_app;        // 96
  rec::Text<8> pcf_name;       // 99
  rec::Text<3> blank107;       // 107
  rec::Text<8> blank110;       // 110
  rec::Text<22> blank118;      // 118
  rec::Bytes<763> pcf_cmpl;    // 140  the compiler's results of the PCF compile (its own placement)
  rec::U8 b903;                // 903
  // 904: the process's defaults of three predefined fields (definition
  // 177, 178 and 212), each '1', '0' or blank (no default).
  rec::Text<1> dflt_auto_rdnxt;  // 904  AUTO READNEXT
  rec::Text<1> dflt_exact_key;   // 905  EXACT KEY REQUIRED
  rec::Text<1> dflt_cancel_ok;   // 906  CANCEL OK
  rec::Bytes<3> def179;        // 907
  rec::Bytes<30> def182;       // 910
  rec::Bytes<3> def213;        // 940
  rec::Bytes<30> def216;       // 943
  rec::Bytes<60> def246;       // 973
  rec::U8 b1033;               // 1033
  rec::Bytes<2> def306;        // 1034
  rec::Bytes<60> title;        // 1036 Output/Inquiry: definition 308-367; others: title + 30 blanks
  rec::Bytes<4> def368;        // 1096
  rec::Bytes<4> def372;        // 1100
  rec::Bytes<2> flags376;      // 1104
  rec::Bytes<2> def378;        // 1106
  rec::Bytes<2> flags380;      // 1108
  rec::U8 def382;              // 1110
  rec::U8 def31;               // 1111 1 when definition byte 31 is '1'
  rec::U8 def383;              // 1112
  rec::Bytes<5> b1113;         // 1113
  rec::U16 n_children;         // 1118
  rec::U32 n_invocs;           // 1120 invocation statements compiled (their running number)
  rec::U16 n_items;            // 1124
  rec::U16 n_frames;           // 1126
  rec::U16 n_images;           // 1128
  rec::Bytes<6> b1130;         // 1130
  rec::U32 n_areas;            // 1136
  Ref<Ref<uint8_t>> area_addr; // 1140 area address array: n_areas + 1 words, the running PCB's areas
  // 1144: sub-file handles
  Ref<FmArb> cap, cfi, cfld, inst, cimg, cfrm, cchr, cchld, citm, ctok, clib, recurse, loc, cnst,
      kdb, sdb, cdlu, qslct, qsort;
  rec::Bytes<4> b1220;         // 1220 the compiler's: byte 0 is 1 when an image of the process totals its items
  rec::U32 proc_eps[kEmProcEps];  // 1224 entries of event points 01-11 (code references)
  Ref<uint8_t> area_table;     // 1268 n_areas + 1 entries of 28 bytes
  Ref<FmArb> pk;               // 1272
  Ref<FmArb> sum;              // 1276
  rec::Bytes<4> b1280;         // 1280 the compiler's
  Ref<FmArb> cv;               // 1284
  Ref<FmArb> scan;             // 1288
  Ref<FmArb> scanb;            // 1292
  rec::U32 use_count;          // 1296 PCBs that hold the module
  Ref<void> running_pcb;       // 1300 the PCB whose areas area_addr holds
  Ref<FmArb> toc;              // 1304 TOC work file
  Ref<FmArb> trap;             // 1308 TRAP work file
  rec::U32 toc_count;          // 1312
  rec::U32 trap_count;         // 1316
  rec::U32 area_ix1;           // 1320 index into area_addr, an address after relocation
  rec::U32 area_ix2;           // 1324
  rec::U32 pcf_key;            // 1328 default key number of the PCF stream
  rec::U32 pool;               // 1332 module pool
  rec::U32 pool_scope;         // 1336 its scope (the base scope)
  rec::U8 cur_ep;              // 1340 the event point running now (interpreter, debugger)
  rec::U8 b1341;               // 1341
  rec::U8 saved;               // 1342 1 when definition byte 70 is not '0'
  rec::U8 code_relocated;      // 1343 1 once code was relocated: never saved
  Ref<uint8_t> block_bases;    // 1344 INST block addresses (ib_block_bases)
};
QV_RECORD(EmHeader, 1348);
QV_AT(EmHeader, status, 4);
QV_AT(EmHeader, lang, 44);
QV_AT(EmHeader, created_day, 52);
QV_AT(EmHeader, changed_day, 60);
QV_AT(EmHeader, exec_secr, 72);
QV_AT(EmHeader, dflt_mode, 91);
QV_AT(EmHeader, pcf_file, 92);
QV_AT(EmHeader, pcf_name, 99);
QV_AT(EmHeader, blank118, 118);
QV_AT(EmHeader, b903, 903);
QV_AT(EmHeader, dflt_auto_rdnxt, 904);
QV_AT(EmHeader, dflt_exact_key, 905);
QV_AT(EmHeader, dflt_cancel_ok, 906);
QV_AT(EmHeader, def179, 907);
QV_AT(EmHeader, def246, 973);
QV_AT(EmHeader, title, 1036);
QV_AT(EmHeader, def383, 1112);
QV_AT(EmHeader, n_children, 1118);
QV_AT(EmHeader, n_items, 1124);
QV_AT(EmHeader, n_areas, 1136);
QV_AT(EmHeader, area_addr, 1140);
QV_AT(EmHeader, cap, 1144);
QV_AT(EmHeader, inst, 1156);
QV_AT(EmHeader, cnst, 1196);
QV_AT(EmHeader, qsort, 1216);
QV_AT(EmHeader, proc_eps, 1224);
QV_AT(EmHeader, area_table, 1268);
QV_AT(EmHeader, cv, 1284);
QV_AT(EmHeader, use_count, 1296);
QV_AT(EmHeader, toc, 1304);
QV_AT(EmHeader, trap_count, 1316);
QV_AT(EmHeader, area_ix1, 1320);
QV_AT(EmHeader, pool, 1332);
QV_AT(EmHeader, cur_ep, 1340);
QV_AT(EmHeader, saved, 1342);
QV_AT(EmHeader, code_relocated, 1343);
QV_AT(EmHeader, block_bases, 1344);

// The process's defaults as the compile keeps them: a flag '1', '0' or blank
// (none), whatever else the definition holds; a default mode 1-254, and 0
// (none) for anything else, a blank too (what dictionaries written when the
// definition's byte was text hold there). A saved module is taken only when
// its defaults are so kept (em_dflts_sound).
inline char em_dflt_flag(char c) { return c == '1' || c == '0' ? c : ' '; }
inline uint8_t em_dflt_mode(uint8_t m) { return m >= 1 && m <= 254 && m != ' ' ? m : 0; }
inline bool em_dflts_sound(const EmHeader& em) {
  for (const rec::Text<1>* f : {&em.dflt_auto_rdnxt, &em.dflt_exact_key, &em.dflt_cancel_ok})
    if (em_dflt_flag((*f)[0]) != (*f)[0]) return false;
  return em_dflt_mode(em.dflt_mode) == em.dflt_mode;
}

// Area table entry (28 bytes; LF work file while compiling).
struct EmAreaEntry {
  rec::U8 aclass;        // 0  area class
  rec::Text<3> app;      // 1
  rec::U32 number;       // 4  area number
  rec::U32 sub;          // 8  sub-area (0 whole area)
  rec::U32 size;         // 12
  rec::U32 index;        // 16 index into the PCB's area address table
  rec::U8 kind;          // 20
  rec::U8 source;        // 21 1 file record, 2 work fields, 0 other
  rec::U8 shr;           // 22 sharing flags
  rec::U8 non_shr;       // 23 non-sharing flags
  rec::Bytes<4> b24;     // 24
};
QV_RECORD(EmAreaEntry, 28);
QV_AT(EmAreaEntry, index, 16);
QV_AT(EmAreaEntry, non_shr, 23);
