// The query engine's utilities: the query's selection lines and sort lines
// (QSLCT, QSORT), selection texts parsed into trees and compiled into
// short-circuit branch programs, sort keys whose plain byte order is the
// sort order, and the sort and merge of selected elements into the pointer
// records a query stream delivers.
//
// Invariants:
//   1. A selection program evaluates the lines of its tree in the tree's
//      left-to-right order and stops at the first decisive line, exactly as
//      a recursive evaluation with short-circuit AND and OR does: every line
//      inherits a TRUE and a FALSE target as the nodes above it give them,
//      branches on the outcome whose target is not the next line's start,
//      and the last line falls into the end with its own truth value.
//   2. Sort keys compare with memcmp in the order of the values of their
//      fields, field by field; the last field is the selection ordinal, so
//      keys are distinct and any correct sort gives the one order that keeps
//      records of equal sort fields in selection order.
//   3. A sort holds at most its run memory (QUVO_RUN_MEM bytes, at least one
//      element): the elements of a run and their index entries together.
//      Runs beyond the first go to six sequential work files written and
//      read in blocks, merged polyphase; nothing else grows with the input.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "files/fm.h"
#include "foundation/cv.h"
#include "foundation/cvdat.h"
#include "foundation/record.h"

// ---------------------------------------------------------- records --
// QSLCT: a selection line of a query (112 bytes; key bytes 0-39).
struct PbQslct {
  rec::Text<3> app;         // 0   application of the query
  rec::Text<30> name;       // 3   query name
  rec::U8 kind;             // 33  selection text: 8 or 9
  rec::Text<2> b34;         // 34  blanks
  rec::U32 line;            // 36  line number
  rec::U16 l_occ;           // 40  left field: occurrence
  rec::Text<3> l_app;       // 42  application
  rec::Text<22> l_field;    // 45  name
  rec::Text<3> b67;         // 67  blanks
  rec::U16 r_occ;           // 70  right field: occurrence
  rec::Text<3> r_app;       // 72  application; blank: the right operand is a value
  rec::Text<30> r_value;    // 75  right field name or value ("\" \"" a blank value)
  rec::U8 relation;         // 105 1-7, 255 none; 0 or blank: incomplete
  rec::U8 on;               // 106 '0' switched off
  rec::U8 mentioned;        // 107 '1' mentioned by its text (set by the parser)
  rec::U8 flag1;            // 108
  rec::U8 flag2;            // 109
  rec::Text<2> b110;        // 110 blanks
};
QV_RECORD(PbQslct, 112);
QV_AT(PbQslct, kind, 33);
QV_AT(PbQslct, line, 36);
QV_AT(PbQslct, l_occ, 40);
QV_AT(PbQslct, r_occ, 70);
QV_AT(PbQslct, r_value, 75);
QV_AT(PbQslct, relation, 105);
QV_AT(PbQslct, mentioned, 107);

// QSORT: a sort line of a query (92 bytes; key bytes 0-39).
struct PbQsort {
  rec::Text<3> app;         // 0   application of the query
  rec::Text<30> name;       // 3   query name
  rec::Text<3> b33;         // 33  blanks
  rec::U32 seq;             // 36  sequence; 0: the line names no field
  rec::Text<3> f_app;       // 40  application of the field
  rec::Text<22> field;      // 43  field name
  rec::Text<1> b65;         // 65
  rec::U16 occ;             // 66  occurrence
  rec::Text<1> order;       // 68  '+' or '-'
  rec::Text<1> flag;        // 69
  rec::Text<1> flags70[5];  // 70  copied from the sort line (71 '1': no field named)
  rec::Text<3> z75;         // 75  "000"
  rec::Text<1> flags78[6];  // 78  copied from the sort line
  rec::Text<3> z84;         // 84  "000"
  rec::Text<1> sorted;      // 87  '1' sorted on, '0' not (beyond its frame's count)
  rec::Text<1> b88;         // 88  '0'
  rec::Text<3> b89;         // 89  blanks
};
QV_RECORD(PbQsort, 92);
QV_AT(PbQsort, seq, 36);
QV_AT(PbQsort, occ, 66);
QV_AT(PbQsort, order, 68);
QV_AT(PbQsort, flags70, 70);
QV_AT(PbQsort, flags78, 78);
QV_AT(PbQsort, sorted, 87);

// ---------------------------------------------------------- selection --
constexpr uint32_t kPbBadText = 200000;    // bracket missing, text left over, unknown line
constexpr uint32_t kPbBadFactor = 200010;  // a factor that is neither a number nor '('

// A selection tree: nodes by index; an operator node has two children, a
// line node the index of its line among the lines handed in.
struct PbNode {
  uint8_t kind;     // 1 operator, 2 line
  uint8_t op;       // operator: 1 OR, 2 AND
  int left = -1, right = -1;
  int line = -1;
};
struct PbTree {
  std::vector<PbNode> nodes;
  int root = -1;    // -1: no tree (every record is selected)
};

// Parses one selection text (len bytes, blank padded) into tree; lines
// mentioned get byte 107 '1'. `lines` null only validates (any number is a
// line). 1, or 0 with *status (200000, 200010) and *pos, the offset of the
// error from the start of the text; *root -1 for a blank text.
int pb_parse_text(const char* text, size_t len, int kind, std::vector<PbQslct>* lines, PbTree* tree,
                  int* root, uint32_t* status, size_t* pos);

// The internal function PB_VALID_EXPR (CALL): args[2] an 800-byte text,
// args[3] a 4-byte status and args[4] a 4-byte position (little-endian)
// that receive the parser's status and the error's offset. Answers 1 when
// the text is a valid selection text, else 0.
int32_t pb_valid_expr(const uint32_t* args);

// The whole selection of a query: clears every mention mark, parses text 9
// then text 8 against lines (both kinds, any order: each kind's lines are
// taken in line-number order), ANDs in front of each text the lines of its
// kind that it does not mention, not switched off and with a right operand,
// ANDs the two results, and trims lines that are switched off or have no
// relation (0, blank or 255). 1, or 0 with the parser's status and position.
int pb_bld_slct(const char* text8, const char* text9, size_t len, std::vector<PbQslct>* lines, PbTree* tree,
                uint32_t* status, size_t* pos);

// The query files (QPARM, QSLCT, QSORT, QTAG of the runtime application,
// memory-resident, one set per query scope): opens `name` in `scope` and,
// except QTAG, attaches a stream restricted to the query's application and
// name (3 and 30 characters). QSLCT and QSORT are made when missing; a
// missing QTAG gives null; a missing QPARM ("can't open QPARM file"), a
// stream that cannot be attached ("can't constrain QFI") and an unknown
// name ("bad QFI name: ...") are system errors, and null.
FmArb* pb_open_qfi(int scope, const char* name, const char* app, const char* query);
// The selection of a query from its query files: its QPARM texts and its
// QSLCT lines (into *lines) built as pb_bld_slct does, and the mention marks
// (byte 107) written back into the stored lines. 1, or 0 with the parser's
// status and position; 0 with status 200650 when a query file fails (after
// the system error).
int pb_load_slct(int scope, const char* app, const char* query, std::vector<PbQslct>* lines, PbTree* tree,
                 uint32_t* status, size_t* pos);

// A compiled selection: one step per line in code order. A step tests its
// line and, when the outcome equals `on`, goes to `target` (a step index, or
// kPbEndTrue / kPbEndFalse); otherwise, or with `on` 0, it falls into the
// next step; past the last step the result is the last test's outcome.
constexpr int kPbEndTrue = -1, kPbEndFalse = -2;
struct PbStep {
  int line;        // index into the lines
  uint8_t on;      // 1 TRUE, 2 FALSE, 0 no branch
  int target;
};
std::vector<PbStep> pb_cmpl_slct(const PbTree& tree);
// Runs a compiled selection with test(line) giving a line's outcome; an
// empty program selects. True when the record is selected.
bool pb_run_slct(const std::vector<PbStep>& prog, const std::function<bool(int)>& test);

// ------------------------------------------------------------ sort keys --
// A sort field as the key builder sees it.
struct PbKeyField {
  uint8_t level = 0;        // sort level (1, 2, ...); 0 the ordinal
  char order = '+';         // '+' ascending, '-' descending
  uint8_t type = 0;         // data type: 0 the ordinal, 1/2/11/13 alpha and logic,
                            // 5 binary, 8 packed, 12 scaled, 3/4/6/7/9/10/15 dates
  uint32_t offset = 0;      // offset of the field's bytes in the record
  uint16_t len = 0;         // stored length
  uint8_t decimals = 0;     // numbers: decimals
  bool is_signed = false;   // binaries: signed
  std::vector<uint8_t> null_value;  // numbers and dates: the stored null value; empty none
  DateDesc date;            // dates: storage type, range, Julian flag (no mask: a stored
                            // date reads without one)
  uint16_t key_off = 0, key_len = 0;  // filled by pb_key_layout
};
struct PbKeyDef {
  std::vector<PbKeyField> fields;   // sort fields; pb_key_layout adds the ordinal
  uint16_t key_len = 0;
  uint16_t levels = 0;              // sort levels (fields of level 1 and above)
  std::vector<uint8_t> level_of;    // per key byte: its field's level
  const uint8_t* collate = nullptr; // 256 bytes, alpha bytes through it; null: as they are
};
// The key field of an element (ELEMENT record) at an occurrence (0 counts
// as 1), with its order and level: data type 2 sorts as 1; a number with a
// null value (its null-value text, converted as the field converts) gets
// that stored value; dates their storage type and unit range. 1, or 0 for
// an element that has no sort type, no such occurrence (past its occurs)
// or a null value that does not convert.
int pb_sort_field(const DElem& e, uint16_t occ, char order, uint8_t level, const char* app, const char* ver,
                  PbKeyField* out);
// The sort of a query from its QSORT lines (in key order): each line that
// names a field (sequence not 0) and is sorted on (byte 87 not '0') is the
// next sort level; `elements` gives the ELEMENT records a line's field
// stands for (one for a field, the members of a group; none: the line is
// passed over). The ordinal closes the key (pb_key_layout). 1, or 0 when a
// field has no sort type or not the line's occurrence.
using PbElements = std::function<std::vector<DElem>(const PbQsort& line)>;
int pb_cmpl_sort(const std::vector<PbQsort>& lines, const PbElements& elements, const char* app, const char* ver,
                 PbKeyDef* def);

// Key bytes of a field of a data type and stored length (0: no sort type).
int pb_key_bytes(int type, int len);
// Places the fields one after another, appends the ordinal (4 bytes) and
// fills the level table. 1, or 0 when a field has no sort type.
int pb_key_layout(PbKeyDef* def);
// The key of a record with its selection ordinal: a pure function of its
// arguments; key receives def.key_len bytes.
void pb_enc_key(const PbKeyDef& def, const uint8_t* record, uint32_t ordinal, uint8_t* key);
// The break level between two keys: the level of the first byte where they
// differ, levels + 1 when they differ only in the ordinal (or not at all).
uint16_t pb_break_level(const PbKeyDef& def, const uint8_t* a, const uint8_t* b);

// ----------------------------------------------------------- sort, merge --
// A pointer record: the break levels with the previous and the next record
// (0 at the ends) and the record id.
struct PbPtr {
  uint16_t before = 0, after = 0;
  const uint8_t* id = nullptr;   // id_len bytes, valid until the next read
};

// Sorts elements (key, then record id) within a run memory and delivers
// them as pointer records in key order. Runs that do not fit go to six
// temporary sequential files of application app, version "00", in scope
// `scope`, named from `file_id` (eight hexadecimal digits of file_id + 1 +
// file number), merged polyphase; the last pass writes the pointer file
// (named by file_id) of blocks of pointer records. A sort whose elements fit
// one run keeps them in memory and writes no file. A sort lives inside the
// scope it is given: its files belong to that scope, and the sort scratches
// them when it goes (on an unwind too, as its destructor runs first).
struct PbSortStats {
  uint32_t runs = 0;           // runs written (0: one run in memory)
  uint32_t passes = 0;         // merge passes before the final pass
  uint64_t elements = 0;
  uint32_t capacity = 0;       // elements per run
};
class PbSort {
  struct Impl;

 public:
  // levels_of: per key byte its level (pb_key_layout's table); levels the
  // number of sort levels; run_mem bytes of run memory.
  PbSort(const char* app, int scope, uint32_t file_id, uint16_t key_len, uint16_t id_len,
         std::vector<uint8_t> level_of, uint16_t levels, uint64_t run_mem);
  ~PbSort();
  PbSort(const PbSort&) = delete;
  PbSort& operator=(const PbSort&) = delete;
  // Adds an element (key_len + id_len bytes). 1, or 0 with status().
  int add(const uint8_t* element);
  // Ends the input. 1, or 0 with status().
  int finish();
  // The next pointer record. 1; 0 at the end (status 200360) or on failure.
  int next(PbPtr* out);
  uint32_t status() const { return status_; }
  const PbSortStats& stats() const { return stats_; }
  // The element capacity of a run for a run memory (at least 1).
  static uint32_t capacity(uint64_t run_mem, uint16_t elem_len);

  // A reader of the finished sort's pointer records with a position of its
  // own: the readers of one query share its pointer file (or, for one run,
  // its run in memory), each through its own handle. A reader lives no
  // longer than its sort.
  class Reader {
   public:
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;
    // The next pointer record: 1; 0 with *status (200360 at the end).
    int next(PbPtr* out, uint32_t* status);
    // Back to the first record: 1, or 0 with *status.
    int rewind(uint32_t* status);

   private:
    friend class PbSort;
    explicit Reader(Impl* p) : p_(p) {}
    Impl* p_;
    uint32_t pos_ = 0;             // in memory: the next index entry
    uint16_t prev_after_ = 0;
    FmArb* h_ = nullptr;           // on the pointer file: its own handle,
    uint8_t* buf_ = nullptr;       // block and position
    size_t have_ = 0, at_ = 0;
  };
  // A new reader at the first record (after finish); null when the sort
  // failed or its pointer file cannot be read (status()).
  std::unique_ptr<Reader> reader();

 private:
  std::unique_ptr<Impl> p_;
  uint32_t status_ = 0;
  PbSortStats stats_;
};

// ------------------------------------------------------------ read-next --
// A query stream's read-next over its pointer records: records in pointer
// order with, when the stream asks for level events, the level starts and
// ends of their breaks (starts 0 to n before the first record, n the number
// of sort levels; between two records ends from n down to their break level
// and starts back up to n; after the last, ends from n down to 0). A record
// that is gone since it was selected is skipped: its break levels fold into
// its neighbours' (the break of the records around it is the lower of the
// two), so events stay balanced, and without level events it is only
// skipped. A record another user or handle holds is delivered with that
// status (200520, 200530); any other failure of a read fails the read-next.
constexpr uint32_t kPbLevelStart = 200620, kPbRecord = 200350, kPbLevelEnd = 200370, kPbEnd = 200360;
constexpr uint32_t kPbGone = 200450;
struct PbEvent {
  uint32_t status = 0;       // 200620, 200350 (200520/200530 a held record), 200370
  uint16_t level = 0;
  const uint8_t* id = nullptr;  // records: the pointer's record id
};
class PbReader {
 public:
  // next_ptr: the next pointer record, 1; 0 with *status (200360 at the
  // end). read: reads the record of an id: 0 read, 200520/200530 read but
  // held, 200450 gone, another status a failure.
  using NextPtr = std::function<int(PbPtr* out, uint32_t* status)>;
  using Read = std::function<uint32_t(const uint8_t* id)>;
  PbReader(uint16_t levels, bool level_events, NextPtr next_ptr, Read read)
      : levels_(levels), events_(level_events), next_ptr_(std::move(next_ptr)), read_(std::move(read)) {}
  // 1 with the next event; 0 with *status 200360 at the end, or the status
  // of a failed read.
  int next(PbEvent* ev, uint32_t* status);

 private:
  uint16_t levels_;
  bool events_;
  NextPtr next_ptr_;
  Read read_;
  int state_ = 1;
  uint16_t level_ = 0, kept_ = 0;
  uint32_t rec_status_ = 0;
  const uint8_t* id_ = nullptr;
};

// The run memory of a sort: QUVO_RUN_MEM when it holds a decimal number
// (read at every call), else 262143.
uint64_t pb_run_mem();
