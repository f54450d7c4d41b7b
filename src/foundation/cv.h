// Value conversion: how one value is shown and accepted.
//
// A field's value has a stored (internal) form, the bytes in its record, and a
// display (external) form, the text on a screen or a report. The conversion
// item (`CvItem`, 204 bytes) is the fixed-layout description of one such
// conversion: data type, stored and display lengths, edit mask, digits,
// alpha editing rules, date units and token table. Compiled records embed it
// (the compiled item of an image, the conversion instructions, the CV work
// file), so it is declared once here. `cv_bld_sitm` fills it from a field's
// compiled element; `cv_cmpl` compiles it into a conversion block (`CvBlock`),
// the native form that runs: `cv_itoe` (stored value to display text) and
// `cv_etoi` (display text to stored value).
//
// Data types (ELEMENT byte 302):
//   alpha   1, 2, 13   blank-padded text
//   dates   3, 4       text (3: three-digit day of the year)
//           6, 7       binary (7: u32 day number [, u32 hundredths])
//           9, 10      packed, two digits a unit (9: three-digit day)
//           15         the internal standard date itself (8 unit bytes)
//   numeric 5          binary integer of 1, 2 or 4 bytes, signed or not, with
//                      `decimals` implied decimals
//           8          packed decimal of int_len bytes, `decimals` decimals
//           12         variable packed: 8 bytes of packed decimal and a scale
//                      byte (the value carries its own decimals)
//   logic   11         one character: '1' true, '0' false, blank unset
//
// Results and messages. Every conversion answers 1 or 0; a refusal leaves a
// six-digit message number in the block (`CvBlock::msg`) and in the item
// (`CvItem::msg`), so the caller can always say why:
//   200050  the value does not fit the display or the stored field
//   100350  a character that has no place in a number
//   100550  a negative value for an unsigned field
//   100790  more decimal digits than the field has
//   300080  the text does not match the field's alpha edit mask
//   200060  the text is not one of the field's tokens
//   200080  a logic value other than the true or false character or blank
//   102540  a date that the date mask or the calendar refuses
//   200090  an alpha or date edit mask that is malformed (cv_cmpl)
//   200100  a data type that has no conversion
//   102020  a numeric edit mask that is malformed (cv_cmpl)
// A refused conversion never changes the stored value: the new value is built
// aside and copied only when it is complete.
//
// Edit masks.
//   Numeric (cv_num_msk): digit positions '9' and 'Z' (a leading zero shows as
//   a blank), '0' (shows a zero; every position right of it shows its digit),
//   '*' (a leading zero shows as '*', the cheque-protect fill) and '8' (a
//   leading zero is dropped and the edited number moves left, blanks added
//   at the end); '.' the decimal point (shown as the common block's decimal
//   separator; blank when no digit position follows it); ',' a thousands
//   separator between two integer digit positions (shown as the common
//   block's separator once a digit is shown left of it, else like the
//   suppressed digit before it); sign positions '-' ('-' when negative), '('
//   and ')' or '<' and '>' (shown around a negative value); '$' one character
//   of the currency symbol (the first run of '$' positions shows the symbol,
//   any other '$' position a blank); '\' takes the next character literally;
//   any other character is shown as it is. Signs and the currency stand
//   before the first digit position or after the last; one sign form at most.
//   A sign or currency before the digits floats right, next to the first
//   shown digit, unless the fill is '*' or a literal stands between it and the
//   digits (a literal before it stays where it is).
//   A currency symbol longer than its run of '$' positions is shown whole
//   where there is room, else cut to the run's length: before the digits it
//   takes blank cells next to it (those it floats over, or, where it stays in
//   place, the blank or '*' fill cells right of it); after the digits what
//   stands before it moves left into the blank cells at the start of the
//   text. "EUR" under "$ZZZ,ZZ9.99-" shows 99.25 as "   EUR99.25 " and
//   999999.99 as "E999,999.99 ".
//   A value that needs more integer positions than the mask has, or a
//   negative value under a mask without a sign position, is shown as '*'
//   over the whole width and the conversion answers 0 with 200050; more
//   decimals than the mask shows are rounded half away from zero.
//   Numeric entry accepts blanks, one sign ('-' or '+' before or after the
//   digits, or the value in '(' ')' or '<' '>'), the currency symbol before
//   or after the number (under a mask also as the mask cuts it), leading '*',
//   the thousands separator between digits (a blank one too) and one decimal
//   separator; the mask's literal characters are passed over. A text of
//   nothing but blanks, '*' and the currency is zero; any other text without
//   a digit (a lone point or sign) is refused with 100350.
//   Binary fields take their whole range, but for an unsigned field the value
//   with all bits set, which is the null value.
//   Alpha (alp_etoi): position by position, blank and '!' accept anything,
//   '#' a digit, '&' a letter or a digit, '@' a letter, '*' is a fixed
//   position that keeps the character already stored there. Letters are
//   a-z, A-Z and the accented letters 192-221 and 224-253 ('@' 205-221 and
//   224-253, as the field editor checks them).
//
// Alpha editing rules (ELEMENT bytes 580-585): case code 0 or 2 as typed,
// 1 upper case, 3 lower case, 4 capitalised words; justification 0 as typed,
// 1 left, 2 and 3 right, 4 centred; fill character; squeeze '0' keeps runs of
// blanks, anything else writes each run as one blank (the common block's
// joining character takes the place of the blank before it).
//
// Tokens. A field whose values are tokens keeps its token group's list of
// (number, text) pairs from the application's TOKEN file: a number field
// (type 5 with a token mark) stores the token's number and shows its text; an
// alpha field with a token mark stores the text, which must be a token. The
// lists are cached per application and version (cv_load_token) and shared by
// every block that names them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "foundation/mm.h"
#include "foundation/record.h"

struct DateDesc;

// ------------------------------------------------------------ records --

// ELEMENT dictionary record: the compiled description of one field of an
// application (592 bytes). The conversion layer reads the value attributes.
struct DElem {
  rec::U32 area;              // 0   area number
  rec::U8 work;               // 4   '1' work field, '0' file field
  rec::Text<22> name;         // 5   element name
  rec::U8 kind;               // 27  1 data, 2 group header, 3 group end, 4 substring, 5 synonym
  rec::Text<22> domain;       // 28  domain (token group) name, or base / last field
  rec::U16 offset;            // 50  offset in the record
  rec::U16 length;            // 52  length of one occurrence
  rec::U16 occurs;            // 54  number of occurrences
  rec::Text<8> file;          // 56  file name
  rec::U32 number;            // 64  element number
  rec::Bytes<8> ident_stamp;  // 68
  rec::Bytes<8> stamp2;       // 76
  rec::Bytes<8> cmpl_stamp;   // 84
  rec::U8 flag92;             // 92
  rec::U8 b93;                // 93
  rec::U8 b94;                // 94
  rec::Text<30> label;        // 95
  rec::Text<30> heading1;     // 125
  rec::Text<30> heading2;     // 155
  rec::U8 b185;               // 185
  rec::U8 share_a;            // 186
  rec::U8 share_b;            // 187
  rec::U8 usage;              // 188 special usage
  rec::U8 key_kind;           // 189 0 primary, 1-254 alternate, 255 none
  rec::U8 key_no;             // 190
  rec::U8 key_order;          // 191
  rec::U8 key_dups;           // 192
  rec::U8 low_given;          // 193 255 = no low bound
  rec::U8 high_given;         // 194 255 = no high bound
  rec::Text<30> low;          // 195
  rec::Text<30> high;         // 225
  rec::Text<3> ref_app;       // 255
  rec::Text<8> ref_file;      // 258
  rec::Text<22> ref_field;    // 266
  rec::Text<4> code1;         // 288
  rec::Text<4> code2;         // 292
  rec::Text<4> code3;         // 296
  rec::U16 field_no;          // 300
  rec::U8 type;               // 302 data type
  rec::Text<60> initial;      // 303 initial value
  rec::Text<33> null_value;   // 363
  rec::Text<60> mask;         // 396 edit mask
  rec::Text<60> mask2;        // 456 second mask text
  rec::U8 rng_code1;          // 516
  rec::U8 rng_code2;          // 517
  rec::Text<30> rng_value1;   // 518
  rec::Text<30> rng_value2;   // 548
  rec::U16 token_mark;        // 578 nonzero: the values are tokens
  rec::U8 case_code;          // 580
  rec::U8 b581;               // 581
  rec::U8 justify;            // 582
  rec::U8 entry_flag;         // 583 '1' or '0'
  rec::U8 fill;               // 584
  rec::U8 squeeze;            // 585 '0' keep blanks
  rec::U8 sign;               // 586 '1' signed
  rec::U8 digits;             // 587 numbers: integer digits; dates: highest unit
  rec::U8 decimals;           // 588 numbers: decimals; dates: lowest unit
  rec::U8 b589;               // 589
  rec::U8 b590;               // 590
  rec::U8 b591;               // 591 '1': the field is translated
};
QV_RECORD(DElem, 592);
QV_AT(DElem, name, 5);
QV_AT(DElem, domain, 28);
QV_AT(DElem, length, 52);
QV_AT(DElem, label, 95);
QV_AT(DElem, low_given, 193);
QV_AT(DElem, ref_app, 255);
QV_AT(DElem, field_no, 300);
QV_AT(DElem, type, 302);
QV_AT(DElem, null_value, 363);
QV_AT(DElem, mask, 396);
QV_AT(DElem, rng_code1, 516);
QV_AT(DElem, token_mark, 578);
QV_AT(DElem, sign, 586);
QV_AT(DElem, b591, 591);

// Compiled element: the ELEMENT record followed by what the process compiler
// adds (604 bytes).
struct CElem {
  DElem e;                 // 0
  rec::U32 ira;            // 592 IRA of the field's sub-area
  rec::U16 reference;      // 596 process file number or initial-value constant key
  rec::U16 field_offset;   // 598
  rec::U8 source;          // 600 1 file field, 2 work field
  rec::Bytes<3> spare;
};
QV_RECORD(CElem, 604);
QV_AT(CElem, ira, 592);
QV_AT(CElem, source, 600);

// The conversion item (204 bytes), embedded by compiled items (CITM bytes
// 12-215, the window item's bytes 12-215), the conversion instructions and
// the CV work file. Bytes 0-15, 164-171 and 184-203 belong to the record
// that embeds the item (the compilers and the window manager set them); the
// conversion layer neither reads nor changes them.
struct CvItem {
  rec::U32 area_ira;        // 0   IRA of the field's area       (set by the compiler)
  rec::U32 sub_ira;         // 4   IRA of the occurrence's area  (set by the compiler)
  rec::U32 reference;       // 8   process file number or constant key
  rec::U8 summary;          // 12  0 for summary items
  rec::U8 one;              // 13
  rec::U8 source;           // 14  1 file field, 2 work field
  rec::U8 dspl_mode;        // 15  window manager: 0 show the text, 2 show blanks
  rec::U8 kind;             // 16  0 plain, 1 translated field
  rec::U8 xlate_mode;       // 17  0 none, 1 the text, 2 the token text (cv_set_xlate)
  rec::U8 type;             // 18  data type
  rec::U8 flags;            // 19  kCvCompiled, kCvTokens
  rec::U16 int_len;         // 20  stored length
  rec::U16 spare0;          // 22
  rec::U32 rows;            // 24  rows the value takes (cv_cmpl)
  rec::U32 cols;            // 28  columns the value takes (cv_cmpl)
  Ref<uint8_t> int_addr;    // 32  the stored value
  Ref<char> ext_addr;       // 36  the display text
  rec::U16 ext_len;         // 40  display width (cv_cmpl, unless given)
  rec::U16 edit_len;        // 42  characters that may be typed (cv_cmpl: the display width)
  rec::Text<60> mask;       // 44  edit mask (blank: none)
  // The conversion layer's own part (60 bytes).
  rec::U8 digits;           // 104 numbers: integer digits; dates: highest unit
  rec::U8 decimals;         // 105 numbers: decimals; dates: lowest unit
  rec::U8 sign;             // 106 '1' signed
  rec::U8 case_code;        // 107 alpha case code
  rec::U8 justify;          // 108 alpha justification
  rec::U8 squeeze;          // 109 '0' keep blanks
  rec::U8 fill;             // 110 alpha fill character
  rec::U8 entry_flag;       // 111 ELEMENT byte 583
  rec::U8 julian;           // 112 dates: day-of-year form
  rec::U8 spare1;           // 113
  rec::U16 token_mark;      // 114 nonzero: the values are tokens (display width of the text)
  rec::U16 token_handle;    // 116 loaded token list, 0 none
  rec::Text<3> app;         // 118 application of the field
  rec::Text<2> ver;         // 121 its version
  rec::Text<22> token_name; // 123 token group (ELEMENT bytes 28-49)
  rec::Text<3> language;    // 145 language of a translated field
  rec::U16 bound_rows;      // 148 room given to cv_cmpl (0: none)
  rec::U16 bound_cols;      // 150
  rec::Bytes<12> spare2;    // 152
  rec::Bytes<8> embed1;     // 164 the embedding record's (window item: input flag)
  rec::U32 msg;             // 172 message number of a failed conversion
  rec::Bytes<8> spare3;     // 176
  rec::Bytes<20> owner;     // 184 the embedding record's own words
};
QV_RECORD(CvItem, 204);
QV_AT(CvItem, summary, 12);
QV_AT(CvItem, dspl_mode, 15);
QV_AT(CvItem, type, 18);
QV_AT(CvItem, int_len, 20);
QV_AT(CvItem, rows, 24);
QV_AT(CvItem, cols, 28);
QV_AT(CvItem, int_addr, 32);
QV_AT(CvItem, ext_addr, 36);
QV_AT(CvItem, ext_len, 40);
QV_AT(CvItem, mask, 44);
QV_AT(CvItem, digits, 104);
QV_AT(CvItem, embed1, 164);
QV_AT(CvItem, msg, 172);
QV_AT(CvItem, owner, 184);

constexpr uint8_t kCvCompiled = 1;  // CvItem::flags: cv_cmpl has run
constexpr uint8_t kCvTokens = 2;    // CvItem::flags: values are tokens

// TOKEN dictionary record (60 bytes): one token of a token group. Key 0 is
// the group (bytes 0-23) and the number, key 1 the group and the text.
struct CvTokenRec {
  rec::U8 cls;           // 0  domain class (0)
  rec::Text<22> group;   // 1  domain name
  rec::U8 pad;           // 23 blank
  rec::I32 number;       // 24 token number
  rec::Text<30> text;    // 28 token text
  rec::Bytes<2> spare;   // 58
};
QV_RECORD(CvTokenRec, 60);
QV_AT(CvTokenRec, number, 24);
QV_AT(CvTokenRec, text, 28);

// The five facts of a numeric mask that the numeric-to-alpha instruction
// copies (see cv_num_msk).
struct CvNumFacts {
  rec::U8 int_digits;  // digit positions before the decimal point
  rec::U8 decimals;    // digit positions after it
  rec::U8 sign;        // 0 none, 1 '-', 2 '(' ')', 3 '<' '>'
  rec::U8 group;       // 1 when the mask has thousands separators
  rec::U8 fill;        // character shown for a leading zero: ' ' or '*'
};
QV_RECORD(CvNumFacts, 5);
QV_AT(CvNumFacts, fill, 4);

// --------------------------------------------------------- native forms --

// A numeric mask to check (cv_num_msk) and its facts.
struct CvNumMsk {
  const char* mask;    // in: the mask text
  int length;          // in: its length (trailing blanks do not count)
  CvNumFacts facts;    // out
  int width;           // out: display width
};

// A number: value / 10^scale.
struct CvNum {
  __int128 value;
  int scale;
};

// What a screen item adds to an element's conversion (cv_bld_sitm).
struct CvSitm {
  const char* mask;  // 60-character mask; blank or null: the element's
  int width;         // display width wanted, 0: the conversion's own
};

// The room an item may take (cv_cmpl bounds): a value wider than the columns
// takes further rows.
struct CvBounds {
  int rows;
  int cols;
};

// A compiled conversion (cv_cmpl). It runs the item it was compiled from:
// the item's addresses give the stored value and the display text, and a
// refusal's message number goes to both. Rebuild it rather than copy it.
struct CvBlock {
  CvItem* item;                 // the item it runs
  CvItem own;                   // the item, when the block was built from an element
  uint32_t msg;                 // message number of the last refusal
  uint16_t width;               // display width
  char num_mask[64];            // numeric mask in force (the item's or the default one)
  uint16_t num_mask_len;
  uint8_t num_plain;            // the numeric mask has no literal characters
  char date_mask[60];           // compiled date mask tokens (date types)
  uint16_t date_mask_len;
  MmPool pool;                  // pool of the compiled parts (0: the conversion layer's)
};

// ----------------------------------------------------------- services --

// Starts the conversion layer: its pool, token cache and the common block's
// separators (part of start-up).
void cv_init();

// Fills an ELEMENT record as a numeric work field (data type 5, signed, no
// decimals, no mask) of the given integer digits, for a stand-alone
// conversion target. The second argument is the size of the binary value
// (1, 2 or 4 bytes; the callers pass 4).
void INIT_NUM_DELEM(DElem* elem, int size, int digits);
// The default element of a date operand given as a constant: an 8-byte
// binary date of every unit (storage type 7, mask "0807060504030201").
void INIT_DATE_DELEM(DElem* elem);

// Builds the conversion item of a compiled element (and of the screen item
// that shows it, when given) for an application and version. 1, or 0 with
// the item's message (a data type it cannot convert: 200100). A blank
// application is the system error "cv_bld_sitm - missing dap".
int cv_bld_sitm(CvItem* item, const CElem* celem, const CvSitm* sitm, const char* app,
                const char* ver);

// Compiles an item into a block: display width, rows and columns within the
// bounds (none: one row), the numeric mask, the date mask, the token list.
// 1, or 0 with the message in the block and the item (102020 bad numeric
// mask, 200090 bad alpha or date mask, 200050 a width that the bounds cannot
// hold).
// The item stays where it is and must outlive the block.
int cv_cmpl(CvBlock* block, CvItem* item, const CvBounds* bounds, MmPool pool = 0);

// Builds the block of a field from its ELEMENT record: cv_bld_sitm and
// cv_cmpl of the block's own item. 1, or 0.
int cv_get_cnv(CvBlock* block, const DElem* elem, const char* app, const char* ver);

// One chunk of a date item's display row: a unit of its mask or a run of
// literal characters (the item compiler gives them their attributes).
struct CvChunk {
  char kind;   // '1'-'8' a unit (hundredths .. century), 'J' the day of the year, 'L' literal text
  int length;  // compiled mask tokens it covers
  int width;   // display columns
};
// Walks the compiled date mask of a block chunk by chunk. *remaining is the
// count of tokens not yet walked (start with the block's date_mask_len);
// direction >= 0 walks from the first token, < 0 from the last. 1 with the
// chunk, 0 when nothing remains (or the block is no date).
int cv_get_chunk(const CvBlock* block, int* remaining, int direction, CvChunk* out);

// Points the block's item at a stored value and a display text.
void cv_set_addr(CvBlock* block, void* stored, char* display);

// The date descriptor of a compiled date conversion, for cv_ntos_date and
// cv_ston_date (see INT_DATE in foundation/cvdat.h): the item's stored field
// when direct is non-zero, else its display text, with the block's compiled
// mask, data type and unit range. Null (nothing filled) when the block
// converts no date.
DateDesc* INT_DATE(DateDesc* d, const CvBlock* block, int direct);

// Stored value to display text. Returns 1 when the text changed, 0 when it
// is the same (the screens redraw on it); whether the conversion succeeded is
// the block's message: 0 after a good conversion, else why it failed. A
// caller that needs success or failure (an instruction that converts a
// field into a text) tests block->msg, not the result. A value
// that cannot be shown (bad packed digits, too wide for the mask) shows as
// '*' and leaves message 200050 in the block; a number of a token field that
// is no token shows as '?' with 200060.
int cv_itoe(CvBlock* block);

// Display text to stored value: 1, or 0 with the message in the block and the
// stored value unchanged.
int cv_etoi(CvBlock* block);

// Literals: direction 0 converts the block's display text, read in its
// universal form (numbers with '.' as decimal point and no grouping, dates as
// universal date text, logic '1' '0' 'Y' 'N' or blank, alpha as it is), to
// the stored value; direction 1 writes the stored value as universal text.
// With no stored value set, one is allocated from the pool; a value equal to
// a constant of the common block (packed zero or one, blanks) points there
// instead and sets *in_com. 1, or 0 with the message.
int cv_get_universal(CvBlock* block, int direction, int* in_com, MmPool pool);

// Translated fields: for an item of kind 1, records the mode (1 the text,
// 2 the token text), application, version, token group and language under
// which its display text is translated. Returns 1.
int cv_set_xlate(CvItem* item, const char* lang, const char* app, const char* ver,
                 const char* element, int mode);

// Translation tables of translated fields and messages ("BTOD": base text to
// the user's language), per application, version and language.
void cv_add_xlate(const char* app, const char* ver, const char* lang, const char* table,
                  const char* from, const char* to);
// Translates text (length bytes, blank padded) in place; 1 when a
// translation was found. The file manager's fm_xlate_fld comes here.
int cv_xlate_text(const char* app, const char* ver, const char* lang, const char* table,
                  char* text, size_t length);

// ------------------------------------------------------------ numbers --

// Checks a numeric edit mask and fills its facts: 1, or 0 for a malformed
// mask (no digit position, two decimal points, two signs, a '(' or '<'
// without its closing partner, more than 31 digit positions).
int cv_num_msk(CvNumMsk* m);

// Edits a number into out (out_len bytes, blank filled) under a numeric
// mask. 1, or 0 (out all '*') when it does not fit or is negative under a
// mask without a sign position.
int num_itoe(const char* mask, int mask_len, CvNum n, char* out, int out_len);

// Reads a number typed by a user (see Numeric entry above). 1, or 0 with the
// message (100350, 200050).
int cv_num_etoi(const char* text, int length, CvNum* n, uint32_t* msg);

// Reads a number typed into a field with a numeric mask: as cv_num_etoi,
// the mask's literal characters passed over (at their own positions, and
// anywhere when they cannot be part of a number).
int cv_num_etoi_msk(const char* mask, int mask_len, const char* text, int length, CvNum* n, uint32_t* msg);

// Reads a number in its universal form (literals): blanks, one sign '-' or
// '+' before or after the digits, '.' as the decimal point. 1, or 0 with the
// message.
int cv_num_universal(const char* text, int length, CvNum* n, uint32_t* msg);
// Writes a number in its universal form, left aligned and blank filled; 0
// when it does not fit.
int cv_num_to_universal(CvNum n, char* out, int out_len);

// Stored numbers to and from CvNum, by data type 5, 8 or 12 (1 or 0). Both
// refuse a scale (decimals) past 31 digits and a type 12 value shorter than
// its 9 bytes.
int cv_num_get(int type, const void* stored, int len, int decimals, bool is_signed, CvNum* n);
int cv_num_put(int type, void* stored, int len, int digits, int decimals, bool is_signed, CvNum n,
               uint32_t* msg);

// ------------------------------------------------------------- alpha --

// True when the 60-byte mask is blank.
bool BLANK_MSK(const void* mask);

// Edits an alpha text into a stored alpha field: with a mask, position by
// position (see Alpha above; '*' positions keep the target's character);
// without one, by justification, fill character and squeeze flag; then the
// case code. 1, or 0 with the message (300080 mask, 200050 the text does not
// fit) and the target unchanged.
int alp_etoi(const char* text, int tlen, char* target, int target_len, const char* mask,
             int mask_len, int justify, int fill, int squeeze, int case_code, uint32_t* msg);

// ------------------------------------------------------------- logic --

// Stored logic character to its display character (localized true and false
// characters, blank for unset).
char cv_log_itoe(char stored);
// Display text to the stored character ('1', '0' or blank): 1, or 0 with
// 200080 for any other text.
int cv_log_etoi(const char* text, int len, char* stored, uint32_t* msg);

// -------------------------------------------------------------- tokens --

// Loads the token list of a token group of an application into the token
// cache; the version argument is the version (flag 0) or the language
// (flag 1: the texts are translated into it). Returns the list's handle
// (1..), or 0 when the TOKEN file cannot be opened ("cv_load_token() - Bad
// TOKEN file open " system error) or the group is empty.
uint16_t cv_load_token(const char* app, const char* ver_or_lang, int flag, const char* group);
// Looks a token up in a loaded list: mode 1 by number (value), mode 2 by text
// (text, 30 characters blank padded, compared without case). The entry, or
// null.
const CvTokenRec* cv_get_token(uint16_t handle, const char* text, int32_t value, int mode);
// Number of tokens of a loaded list (0 for an unknown handle).
size_t cv_token_count(uint16_t handle);
// Closes the TOKEN file held by the conversion layer and blanks the
// application and version it was opened for, so that the next list loaded
// opens the file afresh. Lists already loaded stay (compiled items hold
// their handles).
void cv_close_token();

// The TOKEN files are the file manager's, a layer above this one: it fills
// this table when it starts (fm_serve_foundation). While no table is set no
// list loads: cv_load_token reports the file as not found and gives 0.
struct CvTokenFiles {
  // Appends to out the records of a token group (22 bytes, blank padded) of
  // the TOKEN file of an application (3) and version (2), in key order; the
  // file stays open for the next group. false, after the system error, when
  // the file cannot be opened.
  bool (*read_group)(const std::string& app, const std::string& ver, const std::string& group,
                     std::vector<CvTokenRec>* out);
  // Closes the file held open (cv_close_token); nothing when none is.
  void (*close)();
};
// Sets the table (null: none); the file of the table it replaces is closed.
void cv_set_token_files(const CvTokenFiles* files);
