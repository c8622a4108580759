#include <gtest/gtest.h>

#include "platform/text_encoding.h"

TEST(TextEncoding, WidensBytes) { EXPECT_EQ(orvo_vpn_win_svc::WidenBytes("ab"), L"ab"); }
