// The engine side of the network terminal without a client: every request
// is a system error and gives 0.
#include <gtest/gtest.h>

#include "foundation/bi.h"
#include "screen/tmnet.h"
#include "support/syserr.h"

TEST(NetworkTerminal, RequestsWithoutAClientAreRefused) {
  bi_init_com();
  SysErrCapture cap(SysErrAnswer::Continue);
  char name[16] = "remote";
  uint8_t handle = 0;
  uint32_t ev = 0;
  TmnetCreate c{"Widget", 6, 0, nullptr};
  TmnetInvoke m{"void show", 9, 0, nullptr, 0, 0, nullptr, 1};
  EXPECT_EQ(tmnet_srv_load_url("http://example"), 0);
  EXPECT_EQ(tmnet_srv_create_object(&c, &handle), 0);
  EXPECT_EQ(tmnet_srv_invoke_method(&m), 0);
  EXPECT_EQ(tmnet_srv_destroy_object(1), 0);
  EXPECT_EQ(tmnet_srv_wait_for_event(&ev), 0);
  EXPECT_EQ(tmnet_srv_check_feature(1), 0);
  EXPECT_EQ(tmnet_srv_send_file("/etc/hostname", name, sizeof name), 0);
  EXPECT_EQ(tmnet_srv_recv_file(name, "/tmp/x", sizeof name), 0);
  ASSERT_EQ(cap.count(), 8u);
  EXPECT_EQ(cap.log()[0].module, "TMNETSRV.C");
  EXPECT_EQ(cap.log()[0].text, "tmnet_srv_load_url() - not on a network terminal");
  com.net_socket = 5;
  EXPECT_EQ(tmnet_srv_check_feature(1), 0);
  EXPECT_EQ(cap.last(), "tmnet_srv_check_feature() - no network terminal support in this engine");
  com.net_socket = 0;
}
