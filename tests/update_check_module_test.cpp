#include <chrono>
#include <future>

#include <gtest/gtest.h>

#include "tests/support/fake_programs.h"
#include "tests/support/fake_service.h"
#include "tests/support/temp_home.h"
#include "tests/support/test_host.h"

using namespace tvoz_test;

TEST(UpdateCheckModule, OnLoadReturnsBeforeTheServiceAnswersAndTheCheckGoesOn) {
  FakeService service;
  TempHome home(service.origin());
  FakePrograms programs;
  std::promise<void> answered;
  std::shared_future<void> gate = answered.get_future().share();
  service.api("/vdj/version", [gate](const Request &, httplib::Response &res) {
    gate.wait_for(std::chrono::seconds(10));
    reply(res, 200, {{"version", "1.0.1"}, {"url", "https://dl.example/p"}});
  });
  TestHost host;
  auto *plugin = host.createPlugin();
  ASSERT_NE(plugin, nullptr);
  EXPECT_EQ(plugin->OnLoad(), 0);
  answered.set_value();  // only now may the service answer

  ASSERT_TRUE(programs.waitForCalls("xdg-open", 1));
  auto calls = programs.calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].program, "zenity");
  EXPECT_EQ(calls[1].args, std::vector<std::string>{"https://dl.example/p"});
}
