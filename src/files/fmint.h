// File manager internals shared by its modules and its back ends: statuses,
// key forms, file and handle bookkeeping.
//
// Key forms. A key "in key form" is its segments' bytes concatenated as they
// lie in the record (the form callers pass in ARB key/key_len). The
// normalised form turns each segment into bytes whose plain byte order is
// the key order: binary segments (unsigned little-endian) are reversed to
// big-endian, and descending segments are complemented. Back ends keep and
// compare normalised keys only.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>

#include "files/fm.h"

namespace fmi {

// ----------------------------------------------------------- statuses --
int fail(FmArb* a, uint32_t status);
int fail(FmFdb* f, uint32_t status);
// Status 200650 with the reason as the current system-error text.
int bad(FmArb* a, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
int bad(FmFdb* f, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
inline int ok(FmArb* a) { a->status = 0; return 1; }

// --------------------------------------------------------------- keys --
// The key's segments in order (the descriptor's own array).
inline const FmSdb* segs(const FmKdb& k) { return k.segs.get(); }
void norm_rec_key(const FmKdb& k, const uint8_t* rec, uint8_t* out);
// len bytes of a key in key form (at most key_len); returns the bytes written.
size_t norm_key(const FmKdb& k, const uint8_t* key, size_t len, uint8_t* out);
// The key of a record in key form.
void rec_key(const FmKdb& k, const uint8_t* rec, uint8_t* out);
// True when the record's key is null: alpha segments blank, binary ones zero.
bool key_is_null(const FmKdb& k, const uint8_t* rec);
// Checks a descriptor set against a record length; "" or the reason.
std::string check_keys(const FmKdb* kdb, int count, int rec_len);

// -------------------------------------------------------------- files --
// The file's key descriptor of a key number, null when there is none.
const FmKdb* file_key(const FmFile* f, int key_no);
inline int key_count(const FmFile* f) { return f->fdb.key_count; }
inline int rec_len(const FmFile* f) { return f->fdb.rec_len; }
// The record length a caller's ARB asks for a write: 0 = the file's.
// Returns -1 (after setting 200650) when it exceeds the file's.
int write_len(FmArb* a);
// Delivers a record into the caller's buffer: copies it, sets len_read;
// 1, or 0 with 200590 when the buffer is shorter than the record.
int deliver(FmArb* a, const uint8_t* data, size_t len);

// Makes the directories of a file path; false with errno set.
bool make_dirs(const std::string& file_path);
// Identity of a described file as text ("app ver name db src srcver/type").
std::string ident_text(const FmFdb& f);

// ---------------------------------------------------- built-in back ends --
extern const FmHandlers mem_handlers;
extern const FmHandlers seq_handlers;
// Memory files: destroy every file owned by the scope or deeper.
void mem_release_scope(int depth);
void mem_shutdown();
size_t mem_count();
// The temporary memory files owned by the scope or deeper (their FDBs, the
// kdb slot pointing at the file's descriptors).
void mem_temp_files(int depth, void (*fn)(const FmFdb& fdb, void* ctx), void* ctx);
// True when the ARB is a handle of the memory back end.
bool is_mem(const FmArb* a);
// A close that scratches removes the file its handle reached, not the one
// its identity would find from the current scope (another scope may have a
// file of the same identity): mem_bound_file names the memory file the
// handle reaches (null when none) before the handle goes, and
// mem_scratch_bound scratches that file (1, or 0 with the status in fdb).
void* mem_bound_file(const FmArb* a);
// fm_mem_reset's part in the memory back end (the handle is a memory file's).
int mem_reset(FmArb* a);
// fm_mem_records' part: the file's live records, -1 when the handle reaches
// no file.
int64_t mem_records(const FmArb* a);
// fm_write_all's part in the memory back end (the open handle of a memory
// file without event procedures).
int mem_write_all(FmArb* a, const uint8_t* recs, uint32_t count);
// fm_rdnxt_fast's step on a memory file when the stream has no range,
// constraints or events: the next record where it lies, null at the end or
// on a failure (the status set).
uint8_t* mem_rdnxt_fast(FmArb* a);
int mem_scratch_bound(void* file, FmFdb* fdb);

// The handles open on a memory file are closed by the file manager before
// the file goes away; the memory back end calls this for each such handle.
void close_for_destroy(FmArb* a);
// Every handle of a file block, for the memory back end's destroy.
template <class F>
void each_handle(FmFile* f, F&& fn) {
  for (void* p = f->handles.first.get(); p;) {
    FmArb* a = static_cast<FmArb*>(p);
    p = a->link.next.get();
    fn(a);
  }
}

// The file manager's pool (base scope) for handles, file blocks, key copies.
MmPool pool();

}  // namespace fmi

// The handle bookkeeping's answers for the modules beside it (fmfi.cpp):
// whether a is an open handle, and the update event procedures set.
bool fm_live(const FmArb* a);
const FmEventProcs* fm_event_procs();
