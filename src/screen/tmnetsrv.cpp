// The engine side of the network terminal. The thin client and its wire
// protocol are not part of this engine, so every request is refused: with
// "not on a network terminal" when the engine was started without a
// network-terminal socket, and "no network terminal support" otherwise.
#include "screen/tmnet.h"

#include <cstdio>

#include "foundation/bi.h"
#include "foundation/os.h"
#include "foundation/ut.h"

namespace {
int refuse(const char* fn, int line) {
  if (com.net_socket.get() == 0)
    std::snprintf(ut_dbg, sizeof ut_dbg, "%s - not on a network terminal", fn);
  else
    std::snprintf(ut_dbg, sizeof ut_dbg, "%s - no network terminal support in this engine", fn);
  os_sys_err("TMNETSRV.C", line);
  return 0;
}
}  // namespace

int tmnet_srv_load_url(const char*) { return refuse("tmnet_srv_load_url()", __LINE__); }
int tmnet_srv_create_object(const TmnetCreate*, uint8_t*) { return refuse("tmnet_srv_create_object()", __LINE__); }
int tmnet_srv_invoke_method(const TmnetInvoke*) { return refuse("tmnet_srv_invoke_method()", __LINE__); }
int tmnet_srv_destroy_object(uint8_t) { return refuse("tmnet_srv_destroy_object()", __LINE__); }
int tmnet_srv_wait_for_event(uint32_t*) { return refuse("tmnet_srv_wait_for_event()", __LINE__); }
int tmnet_srv_check_feature(uint32_t) { return refuse("tmnet_srv_check_feature()", __LINE__); }
int tmnet_srv_send_file(const char*, char*, size_t) { return refuse("tmnet_srv_send_file()", __LINE__); }
int tmnet_srv_recv_file(char*, const char*, size_t) { return refuse("tmnet_srv_recv_file()", __LINE__); }
