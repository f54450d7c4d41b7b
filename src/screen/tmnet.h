// The engine side of the network terminal, as far as it exists without a
// network-terminal client: every request needs the engine to run on a
// network-terminal socket (the common block's net_socket); without one the
// request is refused with a system error and gives 0.
#pragma once

#include <cstddef>
#include <cstdint>

// One value passed to the client: its data type, length and address.
struct TmnetArg {
  uint8_t type;
  uint32_t length;
  void* address;
};

struct TmnetCreate {
  const char* cls;      // class name and its length
  uint32_t cls_len;
  uint32_t nargs;
  const TmnetArg* args;
};

struct TmnetInvoke {
  const char* method;   // method name and its length
  uint32_t method_len;
  uint32_t nargs;
  const TmnetArg* args;
  uint8_t result_type;  // where the result goes
  uint32_t result_len;
  void* result;
  uint8_t object;
};

int tmnet_srv_load_url(const char* text);
int tmnet_srv_create_object(const TmnetCreate* request, uint8_t* handle);
int tmnet_srv_invoke_method(const TmnetInvoke* request);
int tmnet_srv_destroy_object(uint8_t object);
int tmnet_srv_wait_for_event(uint32_t* event);
int tmnet_srv_check_feature(uint32_t bits);
int tmnet_srv_send_file(const char* local_path, char* remote_name, size_t width);
int tmnet_srv_recv_file(char* remote_name, const char* local_path, size_t width);
