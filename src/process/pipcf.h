// The process's own file (PCF) through the five verbs of the process model,
// the modification log of Input processes (STDMLOG) and the dynamic key.
//
// pi_read, pi_rdnxt, pi_write, pi_rewrite and pi_del each wrap one file
// operation on the PCB's PCF stream with what a process adds: its event
// points 03 (after a read), 04 (before an update), 05 (after it), 11 (set
// extended values) and its children's 61 and 62, record-level access
// security, the caller's key constraints, user and date stamps, the
// modification log, and cascades of changed keys and of deletions to child
// processes. Each answers 1 or 0; on 0 the PCB's result word (the
// invocation's completion field) says why:
//   10, 11, 12, 26  event point 03, 04, 05, 11 reported errors
//   32              the file operation failed: its status is in the PCF stream
//   200450          pi_read without a PCF stream
// Statuses the verbs themselves put into the stream: 200450 (an equal-key
// read of a record access security refuses), 300550 (a delete guard), 200860
// (a cascaded child ended with code 37).
//
// Stamp and guard fields of the PCF, by the FILE usage slot the module
// header keeps (PcPcfCmpl::stamp_off): 0 added-by user, 1 changed-by user
// (3 characters), 2 delete-guard flag ('1' refuses), 3 delete-guard count
// (binary of 1, 2 or 4 bytes or packed, its type and length in
// PcPcfCmpl::typed[1]), 4 date added, 5 date changed (PcPcfCmpl::date). The
// record's security code is the field at EmCfi::elem1_off (-1 none).
//
// Children: a compiled child with `flag114` set (CHILD byte 114 '1', the
// cascade-on-change mark) runs in automatic mode 1
// when a rewrite changes one of its key-flagged constraint values (its
// invocation's descriptors naming their sources: a field of this record,
// of another area or a constant), one with `flag115` set (CHILD byte 115, cascade on delete) in
// automatic mode 2 before a delete.
// A child that ends with 37 fails the verb with the record area, the saved
// copy and the new record as they were before the cascade.
//
// Decisions beyond the process model: a record is logged as deleted only
// once the delete succeeded; log entries walk the fields in record-offset
// order; a security code past the profile's access map is refused; the
// hold handle goes when the PCF stream goes (pi_pcf_detach).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "foundation/mm.h"
#include "foundation/record.h"

struct Pcb;
struct FmArb;
struct DElem;
struct PiFileCtl;

constexpr int kPiRsEp03 = 10, kPiRsEp04 = 11, kPiRsEp05 = 12, kPiRsEp11 = 26, kPiRsFile = 32;
constexpr uint32_t kPiStNoRecord = 200450, kPiStGuard = 300550, kPiStChild37 = 200860;

int pi_read(Pcb* pcb, uint16_t op);
int pi_rdnxt(Pcb* pcb, uint16_t op);
int pi_write(Pcb* pcb);
int pi_rewrite(Pcb* pcb);
int pi_del(Pcb* pcb);
// 1 when the record may be seen by the PCB's user (see above).
int pi_chk_acc_secr(Pcb* pcb, const uint8_t* record, int32_t offset);
// The handle's record id into the PCB's record-id copy.
void CPY_RID(Pcb* pcb, FmArb* handle);
// The PCF stream goes: the hold handle that named it is cleared.
void pi_pcf_detach(Pcb* pcb);
// Frees what the verbs gave the PCB (record-id copy, dynamic key, log).
void pi_pcf_free(Pcb* pcb);
// A compiled child's key constraints as the caller hands them down: the
// values gathered now from their sources in the caller (a field of its PCF
// record, of another of its areas, or a constant of its module) into the
// child's entry of the caller's child table, and that buffer put into the
// invocation v (a copy of the child's). 1, or 0 when the child (sequence
// seq) has no constraints.
int pi_chld_cns(Pcb* caller, uint32_t seq, struct PiInvoc* v);

// The display text of a field occurrence of the process's own record (its
// element from the PCF's dictionary, occurrence from 1), at most width
// characters; its label into *label when given. False when the process has
// no record, the field is not one of its file's, or the value does not
// convert (a value too long for its display, 200050, is shown cut).
// With elem and value, also the field's element and where the occurrence's
// stored value sits in the record.
bool pi_pcf_field_text(Pcb* pcb, const char* app, const char* field, int occ, int width, std::string* out,
                       std::string* label = nullptr, DElem* elem = nullptr, const uint8_t** value = nullptr);
// The display text of a stored value of the element e (of application app,
// version ver), at most width characters (at most 511); false when it does
// not convert (a value too long for its display, 200050, is shown cut).
bool pi_field_text(const DElem& e, const uint8_t* value, int width, const char* app, const char* ver,
                   std::string* out);

// ------------------------------------------------------------ look-ups --
// The keyed read of a look-up: the record of the file of control area ctl
// whose key key_no equals the key held in rec (at the key's segment
// positions), read into rec; exact asks for an equal key (the read option
// 8), else option 0. The handle's key number and record buffer are left
// as set for the read (key_no, rec), its operation word cleared. 1 found;
// 0 not found, or no open file or no buffer. Screens (the look-ups of
// their items) and reports (the look-up lines of a subheading) read
// through it.
int pi_lookup_read(PiFileCtl* ctl, int key_no, uint8_t* rec, bool exact);

// ------------------------------------------------- modification log --
// A STDMLOG record (115 bytes, no key: records stay in the order written).
struct PiModLog {
  rec::U8 type;          // 0  1 added, 2 deleted, 4 changed, 255 a field's value
  rec::Text<3> app;      // 1  header entries: the PCF's application
  rec::Text<30> name;    // 4  header: the file's name; field entry: the field's
  rec::U8 occ;           // 34 field entries: 0 one occurrence, else 1, 2, ...
  rec::Text<40> key;     // 35 header: the key text; field entry of a change: the old value
  rec::Text<40> value;   // 75 field entries: the value (the new one of a change)
};
QV_RECORD(PiModLog, 115);
QV_AT(PiModLog, occ, 34);
QV_AT(PiModLog, key, 35);
QV_AT(PiModLog, value, 75);
constexpr uint8_t kMlogAdd = 1, kMlogDel = 2, kMlogChg = 4, kMlogField = 255;
// Opens the PCB's log as the input executor does: a new temporary file of
// "0LA" 00 "STDMLOG " in the process's scope. 1, or 0 after the system error.
int pi_mlog_open(Pcb* pcb);
// Closes (and scratches) the PCB's log.
void pi_mlog_close(Pcb* pcb);

// ---------------------------------------------------------- dynamic key --
// A field of the dynamic key (from the process pool).
struct PiDynaSeg {
  Ref<PiDynaSeg> next;   // 0
  Ref<uint8_t> field;    // 4  the field in the record area
  rec::U8 type;          // 8  data type
  rec::U8 order;         // 9  '+' ascending, '-' descending
  rec::U16 length;       // 10
  rec::Text<60> name;    // 12
};
QV_RECORD(PiDynaSeg, 72);
QV_AT(PiDynaSeg, field, 4);
QV_AT(PiDynaSeg, name, 12);
// The dynamic-key state of a PCB (Pcb::dyna).
struct PiDyna {
  Ref<FmArb> file;       // 0  the DYN file, key 0
  Ref<FmArb> by_id;      // 4  a second handle on it, key 1 (the record id)
  rec::U16 rec_len;      // 8  DYN record length
  rec::U16 rid_at;       // 10 offset of the record id in it
  Ref<uint8_t> buf;      // 12 record buffer
  Ref<PiDynaSeg> first;  // 16 the segments in order
  rec::U32 count;        // 20
};
QV_RECORD(PiDyna, 24);
QV_AT(PiDyna, buf, 12);
QV_AT(PiDyna, count, 20);
// Adds a field to the dynamic key (a field already in it reverses its
// order; with a DYN file made already, a new key is begun) and queues
// message 300710 with the key's description; with no segment, drops the
// dynamic key. 1, or 0 when the field's type cannot be a key segment.
int pi_dyna_add(Pcb* pcb, const PiDynaSeg* seg);
// The key's description: names joined by ", ", a descending one "NAME(-)".
std::string pi_dyna_text(Pcb* pcb);
// The DYN file of the PCB's key, made and filled; null (and the key
// dropped) when it cannot be, or when the user cancels the fill.
FmArb* dyna_create(Pcb* pcb);
int dyna_populate(Pcb* pcb);
// "CANCEL DYNAKEY" of "0LA": true when it ends with 4.
bool cancel_dynakey(Pcb* pcb);
// The file operations of the verbs: through the dynamic key for an Input
// process that has one, plain file-manager operations otherwise.
int dyna_read(Pcb* pcb, FmArb* h);
int dyna_rdnxt(Pcb* pcb, FmArb* h);
int dyna_write(Pcb* pcb, FmArb* h);
int dyna_rewrite(Pcb* pcb, FmArb* h);
int dyna_del(Pcb* pcb, FmArb* h);
// The trace file named by QUVO_DYNA_LOG, and its lines.
void dyna_init();
void dyna_dump(Pcb* pcb);
void dyna_dump_rec(const char* label, Pcb* pcb, const uint8_t* entry);
