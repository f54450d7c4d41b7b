// Services from above and the debugger control word: see services.h.
#include "process/services.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "files/dictrec.h"
#include "foundation/bi.h"
#include "foundation/os.h"
#include "foundation/ut.h"
#include "process/pcb.h"
#include "process/em.h"
#include "process/emrec.h"
#include "process/pipcf.h"
#include "process/pishr.h"

namespace {
constexpr const char* kMod = "DBG.C";

void no_proc_exec(void* arg) {
  if (arg) static_cast<PiEpArg*>(arg)->result = 0;
}
bool dbg_inactive(Pcb*, int) { return false; }
void dbg_no_cleanup(Pcb*) {}
bool dbg_no_watch(Pcb*) { return false; }
bool dbg_no_stmt(IlfExecBlock*, void*, int* option) {
  if (option) *option = 0;
  return false;
}
int no_gen_stmt(void*, const DStmt*, int, int) { return 0; }
int no_cnv_token(void*, const DStmt*, int) { return 0; }
int no_cache_rloc(EmHeader*, void* operand, int) {
  rec::view<rec::U32>(operand) = 0;
  return 0;
}
// ---- executor doubles ----
std::vector<ProcExecCall> g_log;
int g_script[11];
int g_cleanup_code = 1;

std::vector<PcfStep> g_pcf[11];
std::vector<PcfAnswer> g_answers;
bool g_pcf_print = false;

void log_call(const char* what, const Pcb* pcb, std::string text = {}) {
  ProcExecCall c{};
  c.what = what;
  if (pcb) {
    c.type = pcb->invoc.type;
    std::memcpy(c.app, pcb->invoc.app.data(), 3);
    std::memcpy(c.ver, pcb->invoc.ver.data(), 2);
    std::memcpy(c.name, pcb->invoc.name.data(), 30);
    c.kind = pcb->invoc.kind;
    c.auto_mode = pcb->invoc.auto_mode;
    if (const uint8_t* v = pcb->invoc.cns_values.get(); v && pcb->invoc.cns_total <= 4096)
      c.values.assign(reinterpret_cast<const char*>(v), pcb->invoc.cns_total);
  }
  c.text = std::move(text);
  if (g_log.size() < 100000) g_log.push_back(c);
}
// The PCF script of the PCB's type, step by step.
void run_pcf_script(Pcb* pcb) {
  int t = pcb->invoc.type;
  if (t < 1 || t > 10 || pcb->invoc.auto_mode || !pcb->pcf_stream) return;
  for (const PcfStep& s : g_pcf[t]) {
    uint8_t* rec = pcb->pcf_stream->rec.get();
    auto* fc = static_cast<PiFileCtl*>(pcb->pcf_entry.get());
    size_t len = fc && fc->cfi ? size_t(fc->cfi->fdb.rec_len) : 0;
    if (s.phase >= 0)
      if (auto* a = pi_area_rec<PdArea11>(pcb, 11)) a->phase = uint8_t(s.phase);
    if (s.auto_mode >= 0) pcb->invoc.auto_mode = uint8_t(s.auto_mode);
    if (s.open_log) pi_mlog_open(pcb);
    for (const auto& [at, text] : s.fields)
      if (rec && size_t(at) + text.size() <= len) std::memcpy(rec + at, text.data(), text.size());
    int answer = 0;
    switch (s.verb) {
      case 'r': answer = pi_read(pcb, s.op); break;
      case 'n': answer = pi_rdnxt(pcb, s.op); break;
      case 'w': answer = pi_write(pcb); break;
      case 'u': answer = pi_rewrite(pcb); break;
      case 'd': answer = pi_del(pcb); break;
      default: continue;
    }
    PcfAnswer a{s.verb, answer, int(pcb->invoc.completion), uint32_t(pcb->pcf_stream->status),
                rec ? std::string(reinterpret_cast<const char*>(rec), len) : std::string()};
    if (g_pcf_print) {
      std::string shown = a.record;
      for (char& c : shown)
        if (uint8_t(c) < 0x20 || uint8_t(c) > 0x7E) c = '.';
      std::fprintf(stderr, "pcf %c %d %d %u |%s|\n", a.verb, a.answer, a.result, a.status, shown.c_str());
    }
    g_answers.push_back(std::move(a));
  }
  pcb->invoc.auto_mode = 0;
}

[[noreturn]] void run_exec(const char* what, Pcb* pcb) {
  log_call(what, pcb);
  if (pcb) run_pcf_script(pcb);
  int t = pcb ? pcb->invoc.type : 0;
  int code = t >= 1 && t <= 10 && g_script[t] ? g_script[t] : 2;
  ut_unwind(code);
}
void d_mp_setup(Pcb* p) { log_call("mp_setup", p); }
void d_ip_setup(Pcb* p, uint32_t*) { log_call("ip_setup", p); }
void d_qp_setup(Pcb* p) { log_call("qp_setup", p); }
void d_mp_exec(Pcb* p) { run_exec("mp_exec", p); }
void d_ip_exec(Pcb* p) { run_exec("ip_exec", p); }
void d_ip_auto(Pcb* p) { run_exec("ip_auto", p); }
void d_op_exec(Pcb* p) { run_exec("op_exec", p); }
void d_op_auto(Pcb* p) { run_exec("op_auto", p); }
void d_ap_exec(Pcb* p) { run_exec("ap_exec", p); }
void d_qp_exec(Pcb* p) { run_exec("qp_exec", p); }
void d_qp_auto() {
  log_call("qp_auto", nullptr);
  ut_unwind(g_script[5] ? g_script[5] : 2);
}
void d_op_inquire(Pcb* p) { run_exec("op_inquire", p); }
void d_mp_cleanup(Pcb* p) { log_call("mp_cleanup", p); }
void d_ip_cleanup(Pcb* p, uint32_t*) { log_call("ip_cleanup", p); }
int d_op_cleanup(Pcb* p) {
  log_call("op_cleanup", p);
  return g_cleanup_code;
}
void d_qp_cleanup(Pcb* p) { log_call("qp_cleanup", p); }
void d_mp_upd_stat(Pcb* p) { log_call("mp_upd_stat", p); }
// The current image's region word (no scrolling frames yet).
rec::U32* image_region(Pcb* p, int) {
  EmHeader* em = p ? p->module.get() : nullptr;
  uint32_t seq = p ? uint32_t(p->run.image) : 0;
  PcbImageEnt* t = p ? p->image_tbl.get() : nullptr;
  if (!em || !t || seq == 0 || seq > em->n_images || !p->run.frame) return nullptr;
  return t[seq].region.get() ? &t[seq].region : nullptr;
}
void d_ip_upd_stat(Pcb* p) { log_call("ip_upd_stat", p); }
void d_rt_dflt_disp(Pcb* p, const char*) { log_call("rt_dflt_disp", p); }
void d_qp_copy_pend(int, int) { log_call("qp_copy_pend", nullptr); }
void d_rt_err(void* pcb, const void* err_rec) {
  if (!err_rec) return;
  const auto& r = rec::view<ErrDisplay>(const_cast<void*>(err_rec));
  if (r.msg_flag == 255) {
    log_call("rt_err", static_cast<Pcb*>(pcb), r.msg_text.str());
    rt_err_stderr(pcb, err_rec);
    return;
  }
  // A file-error record: the message text, then the status text.
  std::string text = r.msg_text.str();
  std::string status(reinterpret_cast<const char*>(r.tail.b), sizeof r.tail.b);
  while (!status.empty() && status.back() == ' ') status.pop_back();
  if (!status.empty()) text += ": " + status;
  log_call("rt_err", static_cast<Pcb*>(pcb), text);
  std::fprintf(stderr, "%s\n", text.c_str());
}

ProcServices standins() {
  ProcServices s{};
  s.ii_proc_exec = no_proc_exec;
  s.rt_err = d_rt_err;
  s.dbg_init = dbg_inactive;
  s.dbg_cleanup = dbg_no_cleanup;
  s.dbg_chk_watches = dbg_no_watch;
  s.dbg_stmt = dbg_no_stmt;
  s.se_gen_stmt = no_gen_stmt;
  s.cnv_token = no_cnv_token;
  s.pl_cache_rloc = no_cache_rloc;
  s.mp_setup = d_mp_setup;
  s.ip_setup = d_ip_setup;
  s.qp_setup = d_qp_setup;
  s.mp_exec = d_mp_exec;
  s.ip_exec = d_ip_exec;
  s.ip_auto = d_ip_auto;
  s.op_exec = d_op_exec;
  s.op_auto = d_op_auto;
  s.ap_exec = d_ap_exec;
  s.qp_exec = d_qp_exec;
  s.qp_auto = d_qp_auto;
  s.op_inquire = d_op_inquire;
  s.mp_cleanup = d_mp_cleanup;
  s.ip_cleanup = d_ip_cleanup;
  s.op_cleanup = d_op_cleanup;
  s.qp_cleanup = d_qp_cleanup;
  s.mp_upd_stat = d_mp_upd_stat;
  s.ip_upd_stat = d_ip_upd_stat;
  s.rt_dflt_disp = d_rt_dflt_disp;
  s.qp_copy_pend = d_qp_copy_pend;
  s.fp_get_reg = image_region;
  return s;
}
}  // namespace

const std::vector<ProcExecCall>& proc_exec_log() { return g_log; }
void proc_exec_log_clear() { g_log.clear(); }
void proc_exec_script(int type, int code) {
  if (type >= 1 && type <= 10) g_script[type] = code;
}
void proc_exec_cleanup_code(int code) { g_cleanup_code = code; }
void proc_exec_script_clear() {
  for (int& c : g_script) c = 0;
  g_cleanup_code = 1;
  for (auto& v : g_pcf) v.clear();
  g_answers.clear();
  g_pcf_print = false;
}
void proc_exec_pcf_script(int type, std::vector<PcfStep> steps) {
  if (type >= 1 && type <= 10) g_pcf[type] = std::move(steps);
}
const std::vector<PcfAnswer>& proc_exec_pcf_answers() { return g_answers; }

int proc_exec_pcf_text(const char* text) {
  std::vector<PcfStep> got[11];
  const char* p = text;
  while (p && *p) {
    char* end = nullptr;
    long t = std::strtol(p, &end, 10);
    if (end == p || *end != '=' || t < 1 || t > 10) return 0;
    p = end + 1;
    for (;;) {
      PcfStep s;
      auto num = [&](long* out) {
        char* e = nullptr;
        *out = std::strtol(p, &e, 10);
        if (e == p) return false;
        p = e;
        return true;
      };
      long n;
      if (*p == 'p') {
        ++p;
        if (!num(&n) || n < 0 || n > 255) return 0;
        s.phase = int(n);
      }
      if (*p == 'a') {
        ++p;
        if (!num(&n) || n < 0 || n > 255) return 0;
        s.auto_mode = int(n);
      }
      if (*p == 'l') {
        ++p;
        s.open_log = true;
      }
      while (*p == '@') {
        ++p;
        if (!num(&n) || n < 0 || n > 32767 || *p != '=') return 0;
        const char* v = ++p;
        while (*p && *p != ';') ++p;
        if (!*p) return 0;
        s.fields.emplace_back(uint16_t(n), std::string(v, size_t(p - v)));
        ++p;
      }
      if (*p && std::strchr("rnwud", *p)) {
        s.verb = *p++;
        if (s.verb == 'r' || s.verb == 'n') {
          if (std::isdigit(uint8_t(*p))) {
            if (!num(&n) || n < 0 || n > 0xFFFF) return 0;
            s.op = uint16_t(n);
          }
        }
      }
      got[t].push_back(s);
      if (*p == '|') {
        ++p;
        continue;
      }
      break;
    }
    if (*p == ';') ++p;
    else if (*p) return 0;
  }
  for (int i = 1; i <= 10; ++i)
    if (!got[i].empty()) g_pcf[i] = std::move(got[i]);
  g_pcf_print = true;
  return 1;
}
int proc_exec_script_text(const char* text) {
  int codes[11] = {};
  const char* p = text;
  while (p && *p) {
    char* end = nullptr;
    long t = std::strtol(p, &end, 10);
    if (end == p || *end != ':' || t < 1 || t > 10) return 0;
    p = end + 1;
    long c = std::strtol(p, &end, 10);
    if (end == p || c < 1 || c > 255) return 0;
    codes[t] = int(c);
    p = end;
    if (*p == ',') ++p;
    else if (*p) return 0;
  }
  for (int i = 1; i <= 10; ++i)
    if (codes[i]) g_script[i] = codes[i];
  return 1;
}

void rt_err_stderr(void*, const void* err_rec) {
  if (!err_rec) return;
  const auto& r = rec::view<ErrDisplay>(const_cast<void*>(err_rec));
  std::string_view text = r.msg_flag == 255 ? r.msg_text.trimmed() : std::string_view("runtime error");
  std::fprintf(stderr, "%.*s\n", int(text.size()), text.data());
}

ProcServices proc_svc = standins();

void proc_services_reset() { proc_svc = standins(); }

void dbg_ctl(int op) {
  uint32_t w = com.dbg_ctl_bits;
  uint16_t sp = com.dbg_sp;
  switch (op) {
    case 1:  // push: past the stack only counted
      if (sp < kDbgStackSize) com.dbg_stack[sp] = w;
      if (sp < 0xFFFF) com.dbg_sp = uint16_t(sp + 1);
      break;
    case 2:  // pop: an empty stack or a counted push restores nothing
      if (sp == 0) break;
      com.dbg_sp = uint16_t(sp - 1);
      if (sp <= kDbgStackSize) w = com.dbg_stack[sp - 1];
      break;
    case 3: w &= ~kDbgStepBits; break;
    case 5: w |= kDbgStep | kDbgStepProc; break;
    case 6: w &= ~kDbgStep; break;
    case 7: w |= kDbgRunToEnd; break;
    case 8: w &= ~kDbgRunToEnd; break;
    case 9: w |= kDbgStepOut; break;
    case 10: w &= ~kDbgStepOut; break;
    case 11: w |= kDbgNextStmt; break;
    case 12: w &= ~(kDbgNextStmt | kDbgBit18); break;
    case 13: w |= kDbgBit18; break;
    case 14: w |= kDbgBit24; break;
    case 15: w &= ~kDbgBit24; break;
    default:
      std::snprintf(ut_dbg, sizeof ut_dbg, "Bad op parameter in dbg_ctl()");
      os_sys_err(kMod, __LINE__);
      return;
  }
  com.dbg_ctl_bits = w;
}

PcbStatus* pcb_status(Pcb* pcb) {
  if (!pcb || !pcb->area_addr) return nullptr;
  EmHeader* em = pcb->module.get();
  if (em && em->n_areas < uint32_t(kPcbStatusArea)) return nullptr;
  return reinterpret_cast<PcbStatus*>(pcb->area_addr.get()[kPcbStatusArea].get());
}
