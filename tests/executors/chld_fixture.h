// Child invocation on the real process runner: a parent of "ABC" runs the
// test's body inside its event point 01 (the event point double), with
// data areas large enough for the predefined fields; its children are
// processes of "ABC" whose executor doubles end with scripted codes.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "executors/fpchld.h"
#include "files/fm.h"
#include "foundation/la.h"
#include "process/pc.h"
#include "process/pi_fixture.h"

namespace chldtest {

using namespace pitest;

class ChldFix : public PiFix {
 protected:
  void SetUp() override {
    PiFix::SetUp();
    ASSERT_EQ(fp_bltin_init(), 1) << ut_dbg;
  }
  // Defines the processes (name, type); the parents get the data areas of
  // a real module (13 of 700 bytes: the predefined fields fit).
  void procs(std::vector<std::pair<std::string, int>> list) {
    define(list);
    for (auto& [n, t] : list) {
      descs()[n].areas = 13;
      descs()[n].area_size = 700;
    }
  }
  // Runs parent `name` (of `type`) whose event point 01 calls body: the
  // parent's completion code. Every other event point calls on_ep.
  static inline std::function<void(Pcb*, int)> on_ep;
  static int run_parent(const char* name, int type, std::function<void(Pcb*)> body) {
    std::string key = std::string(name);
    g_eps.hook = [key, body](Pcb* p, int ep) {
      if (ep == 1 && p->invoc.name.str() == key) body(p);
      else if (on_ep) on_ep(p, ep);
    };
    PiInvoc v = abc_invoc(name, type);
    int code = pi_run(&v);
    g_eps.hook = nullptr;
    on_ep = nullptr;
    return code;
  }
  // A compiled child of frame 1 (image 0: automatic) running process `name`.
  EmCchld* child(uint32_t seq, const char* name, int type, uint32_t image = 0, const char* id = "    ") {
    auto* c = static_cast<EmCchld*>(MM_ALLOC(e.pool, sizeof(EmCchld)));
    std::memset(static_cast<void*>(c), 0, sizeof *c);
    c->seq = seq;
    c->frame_seq = 1;
    c->child_no = seq;
    c->image_seq = image;
    c->invoc = abc_invoc(name, type, 0);
    c->invoc.reserved_text.set(id);
    c->eps[0] = c->eps[1] = 0xFFFFu;
    return c;
  }
  // The texts of the messages queued for the process.
  static std::vector<std::string> messages(Pcb* p) {
    std::vector<std::string> out;
    FmArb* q = p->msg_file.get();
    if (!q) return out;
    auto* buf = static_cast<uint8_t*>(MM_ALLOC(pc_scratch_pool(), 1024));
    PROTO_FULL(q, 0, buf);
    q->op = FM_OP_FIRST;
    fm_start(q);
    q->op = 0;
    q->rec_len = 1024;
    while (fm_rdnxt(q)) {
      const auto& h = rec::view<LaQueueRec>(buf);
      out.emplace_back(reinterpret_cast<const char*>(buf + sizeof(LaQueueRec)), h.length.get());
    }
    q->rec_len = 0;
    mm_free(buf);
    return out;
  }
  static std::vector<std::string> ran(const char* what) {
    std::vector<std::string> out;
    for (auto& c : proc_exec_log())
      if (std::string(c.what) == what) out.push_back(std::string(c.name).substr(0, std::string(c.name).find(' ')));
    return out;
  }
};

// Gives the parent a frame 1 whose automatic children are `kids` (their
// sequences in order) for the length of one call; the PCB's tables are
// put back after it.
struct Frame {
  Pcb* pcb;
  EmHeader* em;
  Ref<PcbFrameEnt> ft;
  Ref<PcbChildEnt> ct;
  uint16_t nf, nc;
  uint32_t run_frame;
  std::vector<uint8_t> store;
  Frame(Pcb* p, MmPool pool, const std::vector<EmCchld*>& kids) : pcb(p), em(p->module.get()) {
    ft = p->frame_tbl;
    ct = p->child_tbl;
    nf = em->n_frames;
    nc = em->n_children;
    run_frame = p->run.frame;
    auto* fr = static_cast<EmCfrm*>(MM_ALLOC(pool, sizeof(EmCfrm)));
    std::memset(static_cast<void*>(fr), 0, sizeof *fr);
    fr->seq = 1;
    fr->interactive = 1;
    auto* f = static_cast<PcbFrameEnt*>(MM_ALLOC(pool, 2 * sizeof(PcbFrameEnt)));
    std::memset(static_cast<void*>(f), 0, 2 * sizeof(PcbFrameEnt));
    f[1].cfrm.set(fr);
    size_t n = kids.size();
    auto* c = static_cast<PcbChildEnt*>(MM_ALLOC(pool, (n + 1) * sizeof(PcbChildEnt)));
    std::memset(static_cast<void*>(c), 0, (n + 1) * sizeof(PcbChildEnt));
    for (size_t i = 0; i < n; ++i) {
      c[i + 1].cchld.set(kids[i]);
      if (kids[i]->image_seq == 0) {
        if (!fr->first_chld) fr->first_chld = uint16_t(i + 1);
        fr->last_chld = uint16_t(i + 1);
      }
    }
    p->frame_tbl.set(f);
    p->child_tbl.set(c);
    em->n_frames = 1;
    em->n_children = uint16_t(n);
    p->run.frame = 1;
  }
  ~Frame() {
    pcb->frame_tbl = ft;
    pcb->child_tbl = ct;
    em->n_frames = nf;
    em->n_children = nc;
    pcb->run.frame = run_frame;
  }
};

inline PdStatus* status(Pcb* p) { return pi_area_rec<PdStatus>(p, 7); }
inline PdArea11* phase(Pcb* p) { return pi_area_rec<PdArea11>(p, 11); }
inline PdArea3* steer(Pcb* p) { return pi_area_rec<PdArea3>(p, 3); }

}  // namespace chldtest
