// Test helper: answers system errors with a fixed choice and records them.
#pragma once

#include <string>
#include <vector>

#include "foundation/os.h"

struct SysErrCapture {
  explicit SysErrCapture(SysErrAnswer answer) {
    answer_ = answer;
    os_sys_err_log_clear();
    os_set_sys_err_responder([](const char*, int, const char*) { return answer_; });
  }
  ~SysErrCapture() { os_set_sys_err_responder(nullptr); }
  const std::vector<SysErrRecord>& log() const { return os_sys_err_log(); }
  size_t count() const { return os_sys_err_log().size(); }
  std::string last() const { return log().empty() ? std::string() : log().back().text; }
  static inline SysErrAnswer answer_ = SysErrAnswer::Cancel;
};
