// The process compiler: a process definition of the dictionary into an
// executable module (header and sub-files, pl.h), and the compiled
// references every part of the compile shares.
//
// Invariants:
//   1. A compile reports every mistake it can find: a dictionary error is a
//      CMPL_ERR record (kind, source record, message number, name) and the
//      compile goes on; only after all 13 steps ran does a compile with
//      errors unwind with 200140. A module with errors is never run.
//   2. The CMPL_ERR file holds, per process, the errors of its latest
//      compile only: pc_prep deletes the process's old records first, so the
//      sequence restarting at 1 never meets a duplicate key.
//   3. Nothing of a compile that a saved module keeps carries an arena
//      reference: the CAP's 13 source slots hold handles only while the
//      compile runs and are zeroed by pc_cmpl_finish; LF records, CFI, CFLD,
//      SUM and SCAN records hold record numbers, IRAs and constant keys.
//   4. The compile pool and the compile's work files (LF, TDLU) belong to
//      the scope pc_cmpl runs in: a failed compile leaves none of them
//      behind. Dictionary sources are opened once in the base scope and
//      kept for later compiles (pc_src_forget).
//   5. The ELEMENT handle's database id is blank only inside pc_fi; every
//      exit, an unwind included, puts it back.
//
// Records of the compile: the area list LF (28 bytes, the area table entry
// of em.h), SCAN (12), SUM (24), the element map (14, decided: the map
// record is 14 bytes; a reader that keeps 16-byte slots pads each with two
// zero bytes), and those of emrec.h (CAP, CFI, CFLD, CTOK, PK).
// Not-a-target mark: no field carries it yet (kCElemNoTarget in CElem's
// spare byte is never set by this compiler).
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "files/dictrec.h"
#include "files/fm.h"
#include "foundation/cv.h"
#include "foundation/cvdat.h"
#include "foundation/macros.h"
#include "foundation/mm.h"
#include "foundation/record.h"
#include "process/em.h"
#include "process/emrec.h"
#include "process/pcb.h"

struct EmCmplCtx;

// Messages of the compile.
constexpr uint32_t kPcFailed = 200140;       // the compile had errors
constexpr uint32_t kPcNoApp = 101910;        // application not found
constexpr uint32_t kPcNoElemFile = 102070;   // ELEMENT source not openable
constexpr uint32_t kPcNoField = 102080;      // field not found
constexpr uint32_t kPcNoFileFile = 102090;   // FILE source not openable
constexpr uint32_t kPcNoFile = 102100;       // file not found
constexpr uint32_t kPcOccHigh = 100930;      // occurrence above the field's
constexpr uint32_t kPcBadInit = 100460;      // initial value not convertible
constexpr uint32_t kPcBadSecond = 100380;    // second value not convertible
constexpr uint32_t kPcBadPcfKey = 102140;    // PCF key field not a key of the PCF
constexpr uint32_t kPcFrameCode = 100850;    // frame code not valid
constexpr uint32_t kPcItemOverlap = 101890;  // item overlaps an item or fixed text
constexpr uint32_t kPcItemOutside = 101900;  // item does not fit in its image
constexpr uint32_t kPcFrameMode = 101920;    // frame mode not 1-3
constexpr uint32_t kPcFrameStack = 101930;   // frame byte 84 not 0-4
constexpr uint32_t kPcFrameB99 = 101940;     // frame byte 99 not 0-2
constexpr uint32_t kPcChrOverlap = 101950;   // characters overlap (or pass the image)
constexpr uint32_t kPcImageOutside = 102000; // image does not fit in its frame
constexpr uint32_t kPcKeyItem = 102130;      // key item not in the PCF's key
constexpr uint32_t kPcStackAfter = 102220;   // stacking frame after an interactive one
constexpr uint32_t kPcLkNotKey = 102900;     // look-up field not a key of the look-up file
constexpr uint32_t kPcBadFlag = 102310;      // a flag neither 0, 1 nor blank
constexpr uint32_t kPcBadRelation = 102490;  // relation code not 1-7 or 255
constexpr uint32_t kPcBadSlctValue = 102520; // selection value not valid for its field

// Error kinds of CMPL_ERR records.
enum PcErrKind : uint16_t {
  kPcErrProc = 1, kPcErrFrame = 2, kPcErrImage = 3, kPcErrChild = 4, kPcErrItem = 5,
  kPcErrChr = 6, kPcErrStmt = 7, kPcErrSelect = 8, kPcErrSort = 9,
};

// Dictionary source slots of a CAP record.
enum PcSrc : int {
  kSrcProc = 0, kSrcRow, kSrcChild, kSrcSelect, kSrcSort, kSrcElem, kSrcFile, kSrcItem,
  kSrcStmt, kSrcChr, kSrcUnused, kSrcImage, kSrcFrame, kSrcCount
};

// Not-a-target mark of a compiled element (CElem byte 601).
constexpr uint8_t kCElemNoTarget = 1;

// Records handed to the file manager live in the arena: a scratch block of
// the compiler's pool " PCPOOL ", zeroed, freed when it goes out of scope.
MmPool pc_scratch_pool();
template <class T>
struct PcBuf {
  T* p;
  explicit PcBuf(size_t n = sizeof(T)) : n_(n < sizeof(T) ? sizeof(T) : n) {
    p = static_cast<T*>(MM_ALLOC(pc_scratch_pool(), n_));   // zero-filled by the pool
  }
  PcBuf(const PcBuf&) = delete;
  PcBuf& operator=(const PcBuf&) = delete;
  ~PcBuf() { mm_free(p); }
  T* operator->() const { return p; }
  T& operator*() const { return *p; }
  uint8_t* bytes() const { return reinterpret_cast<uint8_t*>(p); }
  size_t size() const { return n_; }
 private:
  size_t n_;
};

// ------------------------------------------------------------- records --
// SCAN: a scan entry of a compiled file (12 bytes).
struct PcScan {
  rec::U16 file_no;     // 0 process file number
  rec::U8 code;         // 2 scan code
  rec::U8 b3;           // 3
  rec::U32 seq;         // 4 element's sequence in the file
  rec::U8 key_no;       // 8 key number, 255 not a key
  rec::Bytes<3> b9;     // 9
};
QV_RECORD(PcScan, 12);
QV_AT(PcScan, key_no, 8);

// SUM: a summary reference (24 bytes).
struct PcSum {
  rec::U32 number;      // 0  summary number (0, 1, ... per compile)
  rec::U32 ira;         // 4  IRA of the field
  rec::U16 index;       // 8  occurrence index
  rec::U8 total;        // 10 1 when referenced as a total
  rec::Text<3> app;     // 11
  rec::Bytes<2> b14;    // 14
  rec::U32 area;        // 16 area id
  rec::U32 offset;      // 20 offset of the occurrence
};
QV_RECORD(PcSum, 24);
QV_AT(PcSum, total, 10);
QV_AT(PcSum, area, 16);

// Element map record (14 bytes).
struct PcMap {
  rec::I32 src_off;     // 0  -1 none
  rec::I32 dst_off;     // 4  -1 none
  rec::U16 src_fld;     // 8
  rec::U16 dst_fld;     // 10
  rec::U16 length;      // 12
};
QV_RECORD(PcMap, 14);

// A stamp field of the PCF kept with its type and length (4 bytes).
struct PcTypedStamp {
  rec::U8 type;          // 0 data type
  rec::U8 b1;            // 1
  rec::U16 len;          // 2 length
};
QV_RECORD(PcTypedStamp, 4);

// The key item of an Input process (an item of a PCF key field): its key,
// place in the record and initial key value (17 bytes).
struct PcKeyItem {
  rec::U8 key_no;                 // 0  key number of the field
  rec::U8 type;                   // 1  data type
  rec::U16 offset;                // 2  offset in the record
  rec::U16 length;                // 4
  rec::U8 digits;                 // 6  ELEMENT bytes 587, 588
  rec::U8 decimals;               // 7
  rec::U8 init_len;               // 8  0: no initial key value
  rec::Bytes<8> init;             // 9  binary as given (type 5), else 16-digit packed
};
QV_RECORD(PcKeyItem, 17);

// The PCF's sequence-number field, named by the process definition: the
// next record of an Input process's Add mode takes the highest number of its
// key group plus the increment. Data type 0: no such field.
struct PcSeqFld {
  rec::U16 offset;                // 0  offset in the record
  rec::U8 type;                   // 2  data type: 5 binary, 8 packed, 12 variable packed
  rec::U8 size;                   // 3  length
  rec::U8 is_signed;              // 4
  rec::U8 digits;                 // 5  integer + decimal digits (0: the field's room)
  rec::U8 key_no;                 // 6  the key it is searched on
  rec::U8 b7;                     // 7
  rec::U32 increment;             // 8  units of its last digit
};
QV_RECORD(PcSeqFld, 12);

// The results of the PCF compile the header keeps (EmHeader::pcf_cmpl, 763
// bytes at 140; this engine's placement, saved with the header).
struct PcPcfCmpl {
  rec::U32 area;                  // 0   area id of the PCF's record
  rec::U32 rec_ira;               // 4   IRA of its record area
  rec::U32 key_ira;               // 8   Input and Inquiry: IRA of the record's field sub-area
  rec::Text<30> scan_name[17];    // 12  per key number: the key's scan process name
  rec::U8 scan_flag[17];          // 522 per key number: 1 when its element's byte 92 is '1'
  rec::I32 stamp_off[8];          // 539 per FILE usage slot (FILE byte 140 + 4 x slot): the
                                  //     named element's record offset, -1 none
  DateStampRec date[2];           // 571 slots 4 and 5 (FILE 156, 160): date stamps with
                                  //     their compiled masks (STAMP_DATE reads them)
  PcTypedStamp typed[2];          // 715 slots 2 and 3 (FILE 148, 152): type and length
  PcKeyItem key_item;             // 723 the item compile's key item
  PcSeqFld seq;                   // 740 the sequence-number field
  rec::Bytes<11> rest;            // 752
};
QV_RECORD(PcPcfCmpl, 763);
QV_AT(PcPcfCmpl, scan_name, 12);
QV_AT(PcPcfCmpl, scan_flag, 522);
QV_AT(PcPcfCmpl, stamp_off, 539);
QV_AT(PcPcfCmpl, date, 571);
QV_AT(PcPcfCmpl, typed, 715);
QV_AT(PcPcfCmpl, key_item, 723);
QV_AT(PcPcfCmpl, seq, 740);
inline PcPcfCmpl& pc_pcf_cmpl(EmHeader* em) { return rec::view<PcPcfCmpl>(em->pcf_cmpl.b); }

// One table: the header's PCF stamp and guard fields (FILE bytes 140-171),
// by FILE usage slot, in the order the PCF compile fills them.
struct PcPcfStamp {
  int usage_slot;       // index into DFile::usage (FILE byte 140 + 4 x slot)
  bool date;            // a date stamp: type, length, compiled mask too
  bool typed;           // type and length
  int index;            // its entry in PcPcfCmpl::date or ::typed
};
extern const PcPcfStamp pc_pcf_stamps[8];

// -------------------------------------------------- compile context --
// The statement compiler's part of the context (filled by sc_cmpl).
struct PcScPart {
  CodeRef ep_start[120];       // entry of each event point code, block 65535 none
  uint8_t flags = 0;           // bit 0: "ALTERNATE IMAGE NUMBER" referred to
  uint8_t ep_index = 0;        // running number of the event points compiled
  bool started = false;        // block 1 of INST made current
  void* sc = nullptr;          // the statement compiler's own state
  void (*sc_free)(void*) = nullptr;
};

// The fields one compile has referred to: pc_fld's result by application,
// field name and occurrence (a second reference reads no dictionary and
// writes no record, as the first left everything it needs in place).
struct PcFldKey {
  char b[27];                  // application (3), name (22), occurrence (2)
  bool operator==(const PcFldKey& o) const { return std::memcmp(b, o.b, sizeof b) == 0; }
};
struct PcFldKeyHash {
  size_t operator()(const PcFldKey& k) const noexcept {
    uint64_t w[4] = {};
    std::memcpy(w, k.b, sizeof k.b);
    uint64_t h = w[0] * 0x9E3779B97F4A7C15ull;
    h = (h ^ (h >> 29) ^ w[1]) * 0xBF58476D1CE4E5B9ull;
    h = (h ^ (h >> 31) ^ w[2]) * 0x94D049BB133111EBull;
    h = (h ^ (h >> 30) ^ w[3]) * 0x9E3779B97F4A7C15ull;
    return size_t(h ^ (h >> 32));
  }
};
// The table of those fields: each element stays where it is until clear();
// the keys are found by open addressing.
class PcFldTable {
 public:
  const CElem* find(const PcFldKey& k) const;
  // Adds a key not in the table.
  const CElem* add(const PcFldKey& k, const CElem& e);
  void clear();
  // Changes when the table is emptied: an element found before stays where
  // it is while this does not change.
  uint32_t generation() const { return generation_; }

 private:
  uint32_t generation_ = 0;
  struct Entry {
    PcFldKey key;
    CElem e;
  };
  std::deque<Entry> entries_;
  std::vector<uint64_t> slots_;   // hash's high half << 32 | entry + 1; 0 free
};

struct PcCtx {
  MmPool pool = 0;             // compile pool, at attach_level
  int attach_level = 0;
  DProc def{};                 // the process definition
  EmCap* cap = nullptr;        // own application's CAP record
  uint32_t errors = 0;         // compile errors so far; the last one's sequence
  uint32_t kept_errors = 0;    // of them, those that leave the compile good (a child left out)
  EmHeader* em = nullptr;
  Pcb* pcb = nullptr;
  PcScPart sc;
  uint8_t flags = 0;
  char app[3]{}, ver[2]{};
  uint16_t lookups = 0;
  FmArb* tdlu = nullptr;
  FmArb* lf = nullptr;
  uint16_t owner = 0;          // owner entry of the statements being compiled
  bool show_errors = false;
  char lang[3]{}, dict_lang[3]{};
  bool failed = false;
  uint32_t status = 0;         // the header status word's copy of the last reference failure
  PcFldTable fields;           // emptied by pc_prep
  // The CAP records pc_ap found (they stay where they are for the module's
  // life): an application asked for again is not looked up.
  struct ApSeen {
    char app[3];
    EmCap* cap;
  };
  ApSeen ap_seen[4]{};
  int ap_seen_n = 0;
  PcCtx() = default;
  PcCtx(const PcCtx&) = delete;
  PcCtx& operator=(const PcCtx&) = delete;
  ~PcCtx() {
    if (sc.sc_free) sc.sc_free(sc.sc);
  }
};

// The statement compiler (language layer) plugs in here: compile the stream
// of statements positioned on its first record. 1 without errors.
using PcStmtCompiler = int (*)(PcCtx* ctx, FmArb* stmts, const uint8_t* prefix, int prefix_len);
void pc_set_stmt_compiler(PcStmtCompiler fn);
PcStmtCompiler pc_stmt_compiler();

// ------------------------------------------------------------- driver --
// Start-up (after wm_init, before pl_init): the area tables. 1.
int pc_init();
// The stand-in of the runtime initialiser: creates CMPLERR in the session
// scope and fills cmpl_err_invoc. 1, or 0 with the reason in ut_dbg.
int rt_init_cmpl_err();
extern PiInvoc cmpl_err_invoc;
FmArb* pc_cmpl_err_file();
// Compiles: 1 when the compile ended normally.
int pc_cmpl(PcCtx* ctx);
// The compiler of the module loader (em_set_compiler).
int pc_em_compiler(EmCmplCtx* c);
int pc_prep(PcCtx* ctx);
int pc_cmpl_finish(PcCtx* ctx);
// Writes one CMPL_ERR record (see the kinds above).
void pc_add_cmpl_err(PcCtx* ctx, int kind, const void* src, uint32_t msg, const char* name, size_t name_len);
extern uint32_t pc_last_dstmt_sno;
// Shows the CMPL_ERR records of the context's process: while a screen is up
// through pc_cmpl_err_show (the runtime's list of compile errors; unset, a
// window a line), else on standard error (or on `to`).
void pc_show_cmpl_err(PcCtx* ctx, FILE* to = nullptr);
// Lists the compile errors on the screen with `parent` as the calling
// process (set by the runtime's start, executors/rt.h).
extern void (*pc_cmpl_err_show)(Pcb* parent);
// The line a record shows as: the process, where the error is (a
// statement's owner, event point and sequence, else the kind of source),
// the message number and text, the name in error and the statement's text.
std::string pc_cmpl_err_line(const DCmplErr& r);
// Where a record's error is: "frame 0 1, image 2", "frame 0 1, event point
// 23, sequence 4", "process" ...
std::string pc_cmpl_err_where(const DCmplErr& r);
// "NNNNNN text (name)": a record's message number and text, the name in
// error when it has one.
std::string pc_cmpl_err_message(const DCmplErr& r);
// The errors of a process's latest compile as lines for standard error,
// each "where: NNNNNN text (name)" followed by the statement's own line
// (the start-up shows them after the screen has gone); "" when none.
std::string pc_cmpl_err_report(const PiInvoc& key);
// A check of statements not stored yet (quvogen --check): while a source
// is set for application `app`, compiles read the statements of the
// processes `procs` of that application from `stmts` (a STMT file the
// caller keeps open, holding the records of those processes: a process of
// the list without records there has no statements) instead of its
// dictionary's STMT file; the statements of any other process (the
// Subroutine of a COPY) come from the dictionary. Null sets it back.
struct PcCheckedProc {
  uint8_t type;
  rec::Text<30> name;
};
void pc_set_stmt_source(const char* app, FmArb* stmts, const std::vector<PcCheckedProc>& procs = {});
// The check's STMT file when it holds the statements of that process (name
// 30 characters), else null.
FmArb* pc_stmt_source(const char* app, uint8_t type, const char* name);
// Compiles a process as the loader does, for a check: the module is built
// and dropped at once (neither cached nor saved). 1 compiled; 0 with the
// compile's errors in `errors` (the CMPL_ERR records, in sequence order) or,
// when it could not compile at all (no definition, no APPL record), none
// and the reason in *code (200140, or the failed file's status). `inspect`,
// when given, sees a module that compiled before it is dropped.
int pc_check(const PiInvoc& key, std::vector<DCmplErr>* errors, uint32_t* code,
             const std::function<void(EmHeader*)>& inspect = {});
// Compiles counted since start-up (tests).
uint32_t pc_compile_count();
// Registers the compiler's start-up stages and the loader hook (main).
void pc_register();

// -------------------------------------------------- compiled references --
EmCap* pc_ap(const char* app, PcCtx* ctx);
FmArb* pc_open_src(PcCtx* ctx, EmCap* cap, int slot);
// The STMT file holding the statements of process (type, name) of the CAP's
// application: the check's (pc_set_stmt_source) when it holds them, else the
// dictionary's; null when there is none. (The CAP's STMT slot is that of the
// process compiled.)
FmArb* pc_stmt_file(PcCtx* ctx, EmCap* cap, uint8_t type, const char* name);
// The dictionary sources stay open in the base scope from one compile to
// the next; one whose file was rebuilt under its name (another inode) is
// opened anew. pc_src_forget forgets them: with close, closes those still
// open first, and the PARAM files pi_get_dparm keeps (a tool of this
// engine that scratches or renames a dictionary
// file calls it before; the file manager refuses to scratch an open file);
// without, at start-up, where those of an earlier run went with its scope.
void pc_src_forget(bool close);
int pc_fi(EmCap* cap, const char* file_name, EmCfi* out, PcCtx* ctx);
// ORs bits into the stored use flags of the compiled file c (application,
// name); c follows the stored record.
void pc_cfi_use(PcCtx* ctx, EmCfi* c, uint8_t bits);
int pc_fld(const char* app, const char* field, uint16_t occ, CElem* out, PcCtx* ctx);
// pc_fld's element where the compile keeps it (null when pc_fld fails): it
// stays there, unchanged, until the context's next pc_prep; the caller
// copies what it means to change.
const CElem* pc_fld_ref(const char* app, const char* field, uint16_t occ, PcCtx* ctx);
int pc_wrk(EmCap* cap, CElem* celem, PcCtx* ctx);
uint32_t pc_put_cnst(EmHeader* em, const void* value, uint16_t len, int in_com);
uint32_t pc_get_ira(PcCtx* ctx, const char* app, uint32_t area_id, int kind, uint32_t offset);
uint32_t add_dlf(PcCtx* ctx, EmAreaEntry* entry);
// The control block of pc_bld_map: the map that moves a source element
// into a destination element, written to `map` as PcMap records.
struct PcMapCtl {
  char ver[2];               // version of both applications' dictionaries
  char src_app[3];
  char src_elem[22];         // element names
  char dst_app[3];
  char dst_elem[22];
  FmArb* map = nullptr;      // the map file its caller opened
  uint32_t count = 0;        // out: records written
};
// 1, or 0 after the system error (an element not found, a fragment of no
// length, a map write that failed).
int pc_bld_map(PcMapCtl* blk);
// The finders of compiled frames, images and children: the file's own
// record (a change to it is a change to the stored record), or null when
// there is none. Each returns its last record again, without reading, for
// the same arguments; pc_prep forgets them (pc_find_reset).
EmCfrm* pc_find_cfrm(PcCtx* ctx, uint8_t code, uint32_t number);
EmCimg* pc_find_cimg(PcCtx* ctx, const EmCfrm* frame, uint8_t image_no);
// By frame and child number, or with an image by image and discriminator.
EmCchld* pc_find_cchld(PcCtx* ctx, const EmCfrm* frame, const EmCimg* image, uint32_t child_no, uint8_t disc);
void pc_find_reset();

// The scan list of an image: the operand block (64 bytes) of each SCAN
// statement the image's code holds, in compile order. pc_add_scan adds one;
// pc_scan_list gives those of image `image_seq` of the module (its CIMG
// sequence); pc_scan_forget drops a module's lists (pl_free).
void pc_add_scan(const EmHeader* em, const EmCimg* image, const uint8_t* ops);
std::vector<std::array<uint8_t, 64>> pc_scan_list(const EmHeader* em, uint32_t image_seq);
void pc_scan_forget(const EmHeader* em);
// SCAN records of a compiled file: one per element that is a key or has a
// scan code (nothing when the file has them already); mode 1 (the PCF) also
// puts each key's scan process name and flag into the header.
void pc_scan(EmCap* cap, PcCtx* ctx, const EmCfi& cfi, int mode);
// The PK records of a compiled file: one per segment of each key (from
// its KDB and SDB records).
void bld_seg_fi(PcCtx* ctx, FmArb* pk, const EmCfi& cfi);
// The PCF's own compile (cfi from pc_fi, rewritten with the use flags and
// share mode): the header's stamp fields, SCAN in mode 1, the CV sub-file
// of a keyed Action or Update PCF, the CFLD records of the PCF's fields and
// (Output, Inquiry) of its look-up files. 1, or 0 with the EM header status
// 102090, 102070 or 102100; a look-up field that fails is a compile error
// (103340) and not a failure.
int pc_pcf(EmCap* cap, EmCfi* cfi, PcCtx* ctx);
constexpr uint32_t kPcBadLookup = 103340;    // look-up reference invalid
// The name (22 characters) of the field of key number 0 of a file: 1, or 0
// with the EM header status 101910, 102090, 102100, 102070 or 102080 (the
// file has no key 0).
int pc_primary_key(PcCtx* ctx, const char* app, const char* file_name, char* field);
// A numeric-token field (token mark, data type 5) names its token list in
// CTOK; a list already there is not written again.
void pc_add_ctok(PcCtx* ctx, const char* app, const DElem& e);
uint32_t pc_sum_ref(const char* app, const CElem* celem, uint16_t index, int kind, PcCtx* ctx);
// ------------------------------------------------------------ screens --
// The frames, images, characteristics, items and children of a process
// (pcfrm, pcimg, pcchr, pcitm, pcchld). Dictionary mistakes are compile
// errors (kinds 2 frame, 3 image, 4 child, 5 item, 6 characteristic).
// pc_frm: 1 without errors. pc_img: 0 when the compile has errors so far
// (then also after its own) or an image's statements failed. pc_chld: 0
// when a child's statements failed.
int pc_frm(PcCtx* ctx);
int pc_img(PcCtx* ctx);
void pc_chr(PcCtx* ctx);
void pc_itm(PcCtx* ctx);
int pc_chld(PcCtx* ctx);
// The definition names a report process other than the process itself.
bool pc_has_rpt_proc(const PcCtx* ctx);
// The records of the process in dictionary source `slot` (key order), each
// with its length.
std::vector<std::vector<uint8_t>> pc_src_records(PcCtx* ctx, int slot, size_t rec_len);
// Compiles the statements of one owner (the STMT key prefix of prefix_len
// bytes, owner entry `owner`) and copies the entries of event points
// first .. first + count - 1 to `out` (65535 each when there are none).
// 1 compiled or none; 0 when they failed.
int pc_owner_stmts(PcCtx* ctx, FmArb* stmts, const uint8_t* prefix, int prefix_len, uint16_t owner, int first,
                   int count, rec::U32* out);
// The STMT key prefix of an owner: process, frame, image, discriminator
// and child number (44 bytes).
void pc_stmt_prefix(const PcCtx* ctx, uint8_t code, uint32_t frame_no, uint8_t image_no, uint8_t disc,
                    uint32_t child_no, uint8_t* prefix);
// A colour byte of the dictionary: blank is the terminal's default, 0.
inline uint8_t pc_colour(uint8_t c) { return c == ' ' ? 0 : c; }
// The attribute pieces of an item (its mask's literal and data parts)
// applied to the image's characteristics (cchr, the compile) or to a window
// region (region, a run-time item): 1, or 0 when a piece meets another
// item's characteristic.
int pc_itm_chr(const EmCitm& item, FmArb* cchr, uint32_t region, uint32_t lit_attr, uint32_t lit_mask,
               uint32_t data_attr, uint32_t data_mask);
// Gives the cells of `piece` its attributes (the bits of `mask`) and colour
// among the image's characteristics: records it meets are split so that
// their parts outside the piece keep theirs. 1, or 0 when it meets another
// item's characteristic.
int subdiv_cchr(const EmCchr& piece, FmArb* cchr, uint32_t mask);

// The statements an item compile generates (STMT records of the owner key
// `prefix`, 44 bytes): an item's range checks at event point 82, IF and
// then AND, one per limit of its element (its two ranges, its low and high
// bound, for a date the all-zero limit): their count (0-5) in out[];
// a total item's TOTAL at event point 45 (mode 1 '+', 2 'P').
int pc_range_stmts(const uint8_t* prefix, const EmCitm& item, const DElem& e, DStmt* out);
void pc_total_stmt(const uint8_t* prefix, const EmCitm& item, uint8_t mode, uint32_t seq, DStmt* out);

// Sharing tables.
extern uint8_t area_shr_tbl[5];
extern uint8_t area_non_shr_tbl[25];
extern uint8_t ipc_cat_tbl[25];
uint8_t pc_shr(int s);
uint8_t pc_non_shr(int a, int b);
uint8_t pc_ipc_cat(int a, int b);

// ---------------------------------------------------------- queries --
// Step 10 for a Query process: its own selection lines (those of no child
// invocation) into the module's QSLCT records and its sort lines into
// QSORT records; a line that does not compile is a compile error of its
// record (kinds 8 and 9: the field's status, 102520 a value its field does
// not take, 102490 a relation, 102310 a flag, 100930 an occurrence) and is
// not written. 1 when every line compiled.
int pc_qry(PcCtx* ctx);
// Step 9b for every process: the selection lines of each child invocation
// (owner frame, image, discriminator and child number) become the child's
// key constraints: a field of the child's file equal to a constant or to a
// field of this process. The compiled child gets the count, the two arrays
// (6-byte FmCns entries and 16-byte PiCnsDesc descriptors, in the order of
// the constrained fields, each array a record of the module's constant
// file, its number in the invocation's slot until the loader relocates
// it), the values' total length, the constrained file (application and the
// area id of its record), and the whole-key flag with the key's number when
// the lines fix every byte of a key without duplicates. A line that does
// not compile is a compile error of its record (kind 8: the field's status,
// 102520 a value the field does not take); fields of two files for one
// child are 200750 on the child (kind 4). 1 when every line compiled.
int pc_slct(PcCtx* ctx);
constexpr uint32_t kPcCnsTwoFiles = 200750;  // a child constrained on fields of two files

// TCDB: one constraint of a child while its lines compile (16 bytes); the
// constraints are laid out in the order of their constrained fields.
struct PcTcdb {
  rec::U16 order;       // 0  the constrained field's number in its file (a group member's, from the map)
  rec::U16 offset;      // 2  offset of the constrained bytes in the child's record
  rec::U16 length;      // 4  the smaller of the two sides' element sizes
  rec::U8 flag;         // 6  1: the line's key flag ('1' at byte 48)
  rec::U8 source;       // 7  kPiCnsFromPcf, kPiCnsFromArea, kPiCnsConst
  rec::U32 src;         // 8  the source's IRA or constant number
  rec::U32 src_off;     // 12 offset of the source in the caller's PCF record
};
QV_RECORD(PcTcdb, 16);
QV_AT(PcTcdb, src, 8);
QV_AT(PcTcdb, src_off, 12);
