#include <gtest/gtest.h>

#include "tests/support/fake_service.h"
#include "tests/support/temp_home.h"
#include "tests/support/test_host.h"

using namespace tvoz_test;

TEST(Plugin, Placeholder) {
  TempHome home;
  TestHost host;
  EXPECT_NE(host.createPlugin(), nullptr);
}
