// Kept handles: the open handle of a file kept from one use to the next,
// with what tells, before a use, whether the file's name still names the
// file the handle reads. The dictionary sources of the compiler, the
// loader's PROCESS and APPL files and the PARAM files of the getter are kept
// so: an open costs far more than the read or compile it serves.
//
// Contract:
//  1. fm_kept_take(k, h) takes the open handle h of a shared open into k. A
//     native file's handle is kept for reading (fm_keep): it no longer holds
//     the file open against another engine's scratch, so that another engine
//     may scratch the file and make it anew meanwhile (exclusive opens are
//     still refused; writes through the handle are refused). A handle of
//     another back end stays as it is. k records the file's path and the
//     device and inode the handle reads. With bytes, what the handle gives
//     is what the file held at its open (a file read whole at its open): its
//     size and modification time are recorded too. False (k forgets h) when
//     the file has no path or its path names nothing, or, with bytes, when
//     it was changed within the last two seconds (a later change in the same
//     clock tick would not show in its time): such a handle cannot be told
//     fresh, and the caller uses it for this use alone.
//  2. fm_kept_fresh(k) is true while k's handle is still the open handle it
//     took (not closed by its scope's release or by anybody else) and the
//     path names the file the handle reads. Records changed in place are
//     read through the handle itself (without bytes). A file put in the
//     name's place (the file scratched and made anew, another renamed over
//     it, a symbolic link, the directory replaced by a copy; the name must
//     name the file itself, as the opens require) makes it false, and so does,
//     with bytes, a change of the file's size or time, and, for a native
//     file (read through its mappings, watched with its bytes and its
//     index's), a size of either below the largest seen (a native file
//     never shrinks in place; one cut short would fault the reads of its
//     mapping): the caller closes the handle
//     (fm_kept_close) and opens the name anew.
//  3. The looks are saved where that is safe. Where the name is watched
//     (uio_watch), a handle whose file was found the same at a watch epoch
//     (with bytes, the file's bytes watched too) is taken without a look-up
//     while the epoch stays. Elsewhere, without bytes, once the file was
//     found the same in a directory last changed more than two seconds
//     before (a change within the same clock tick would not show in the
//     directory's time), the same directory (device and inode: a copy put
//     back keeps the times, not the inode) found unchanged vouches for it.
//     The epoch and each directory are looked at once a round:
//     fm_kept_new_round begins one. Every user begins one where it must see
//     what changed since its last use (the loader at each read of a process
//     definition); the uses that follow in the same round (the compile of
//     that process, its sources) cost no further look.
//  4. fm_kept_close(k) closes k's handle when it is still the one taken, and
//     forgets it.
#pragma once

#include <ctime>
#include <string>

#include "files/fm.h"

struct FmKept {
  FmArb* h = nullptr;
  uint8_t ident[13] = {};   // the file block's name, application and version at the take
  std::string path;
  uint64_t dev = 0, ino = 0;
  bool bytes = false;       // size and mtime: the file's when the handle was opened
  bool mapped = false;      // a native file read through its mapping: size, the largest seen
  int64_t size = 0;
  int64_t index_size = 0;   // mapped: its index file's, the largest seen
  timespec mtime{};
  bool watched = false;     // the name is watched (uio_watch) since epoch
  uint64_t epoch = 0;
  bool dir_known = false;   // dir_*: its directory's when the file was last found the same
  timespec dir_mtime{};
  uint64_t dir_dev = 0, dir_ino = 0;
};

bool fm_kept_take(FmKept* k, FmArb* h, bool bytes = false);
bool fm_kept_fresh(FmKept* k);
// True while k's handle is still the open handle it took (1).
bool fm_kept_open(const FmKept& k);
void fm_kept_close(FmKept* k);
void fm_kept_new_round();
