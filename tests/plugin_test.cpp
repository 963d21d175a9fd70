// The plug-in as the host sees it: creation, every slot, start-up and the
// information record, all through the built module.
#include <chrono>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "tests/support/fake_service.h"
#include "tests/support/temp_home.h"
#include "tests/support/test_host.h"

using namespace tvoz_test;
namespace fs = std::filesystem;

namespace {

constexpr hostabi::HRESULT kNotImplemented = static_cast<hostabi::HRESULT>(0x80004001);

// An origin where nothing listens: any request fails at once.
std::string deadOrigin() {
  auto service = std::make_unique<FakeService>();
  std::string origin = service->origin();
  return origin;  // the service stops when it goes out of scope
}

}  // namespace

TEST(Plugin, CreationChecksBothIdsAndMakesANewObjectEachTime) {
  TempHome home(deadOrigin());
  TestHost host;
  void *const untouched = reinterpret_cast<void *>(0x1234);

  hostabi::GUID wrongClass = hostabi::kClsidPlugin8;
  wrongClass.Data4[7] ^= 1;
  hostabi::GUID wrongInterface = hostabi::kIidBasic8;
  wrongInterface.Data1 ^= 0x80000000u;

  void *out = untouched;
  EXPECT_EQ(host.create(wrongClass, hostabi::kIidBasic8, &out), -1);
  EXPECT_EQ(out, untouched);
  EXPECT_EQ(host.create(hostabi::kClsidPlugin8, wrongInterface, &out), -1);
  EXPECT_EQ(out, untouched);
  EXPECT_EQ(host.create(hostabi::kIidBasic8, hostabi::kClsidPlugin8, &out), -1);
  EXPECT_EQ(out, untouched);

  hostabi::OnlineSource *first = host.createPlugin();
  hostabi::OnlineSource *second = host.createPlugin();
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);
}

TEST(Plugin, EverySlotAnswersThroughTheHostsOwnViewOfTheInterface) {
  TempHome home(deadOrigin());
  TestHost host;
  hostabi::OnlineSource &p = host.plugin();

  char buffer[8] = "intact";
  EXPECT_EQ(p.OnParameter(3), 0);
  EXPECT_EQ(p.OnGetParameterString(1, buffer, sizeof buffer), kNotImplemented);
  EXPECT_STREQ(buffer, "intact");
  EXPECT_EQ(p.OnGetUserInterface(nullptr), kNotImplemented);

  EXPECT_EQ(p.IsLogged(), 1);
  EXPECT_EQ(p.OnLogout(), 0);
  EXPECT_EQ(p.OnOAuth(nullptr, 0, nullptr, nullptr, "denied"), 0);
  EXPECT_EQ(p.OnSearchCancel(), 0);

  // With the service unreachable every listing is empty and the stream fails.
  TrackRecorder tracks;
  EXPECT_EQ(p.OnSearch("x", &tracks), 0);
  EXPECT_EQ(p.GetFolder("f", &tracks), 0);
  EXPECT_TRUE(tracks.tracks.empty());
  FolderRecorder folders;
  EXPECT_EQ(p.GetFolderList(&folders), 0);
  EXPECT_TRUE(folders.folders.empty());
  StringRecorder url, error;
  EXPECT_EQ(p.GetStreamUrl("", url, error), 1);
  EXPECT_FALSE(url.value.has_value());

  MenuRecorder menu;
  EXPECT_EQ(p.GetFolderContextMenu("f", &menu), 0);
  EXPECT_EQ(p.OnFolderContextMenu("f", 99), 0);
  EXPECT_EQ(p.OnContextMenu("t", 99), 0);
}

TEST(Plugin, LoadCreatesBothFoldersAndLoadsTokensWithoutTheNetwork) {
  TempHome home;  // bare: OnLoad makes the support folder itself
  fs::create_directories(home.path() + "/Library/Application Support");
  fs::create_directories(home.path() + "/Music");
  TestHost host;
  hostabi::OnlineSource *p = host.createPlugin();
  ASSERT_NE(p, nullptr);

  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(p->OnLoad(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
  EXPECT_TRUE(fs::is_directory(home.supportDir()));
  EXPECT_TRUE(fs::is_directory(home.offlineDir()));
  EXPECT_EQ(p->IsLogged(), 1);

  // Tokens on disk are read by the next load, and shared by every object.
  home.write(home.support("Tornavoz.tokens"), R"({"access":"A1","refresh":"R1"})");
  EXPECT_EQ(p->OnLoad(), 0);
  EXPECT_EQ(p->IsLogged(), 0);
  host.release(p);
  hostabi::OnlineSource *next = host.createPlugin();
  EXPECT_EQ(next->IsLogged(), 0);

  EXPECT_EQ(next->OnLogout(), 0);
  EXPECT_EQ(next->IsLogged(), 1);
  EXPECT_FALSE(fs::exists(home.support("Tornavoz.tokens")));
  EXPECT_EQ(next->OnLogout(), 0);  // nothing left to remove
}

TEST(Plugin, InfoNamesThePluginAndLeavesTheHostsFieldsAlone) {
  TempHome home(deadOrigin());
  TestHost host;
  hostabi::PluginInfo info{};
  info.Version = "host-set";
  info.Bitmap = reinterpret_cast<void *>(0x42);
  info.Flags = 7;
  info.hostOnly[0] = 0xdeadbeef;

  EXPECT_EQ(host.plugin().OnGetPluginInfo(&info), 0);
  EXPECT_STREQ(info.PluginName, "Tornavoz");
  EXPECT_STREQ(info.Author, "Tornavoz");
  EXPECT_STREQ(info.Description, "Tu record pool, en streaming dentro de VirtualDJ.");
  EXPECT_STREQ(info.Version, "host-set");
  EXPECT_EQ(info.Bitmap, reinterpret_cast<void *>(0x42));  // not inside a bundle: no icon
  EXPECT_EQ(info.Flags, 7u);
  EXPECT_EQ(info.hostOnly[0], 0xdeadbeefu);
}

TEST(Plugin, InfoAnnouncesTheBundleIconOnlyWhileItHasContent) {
  TempHome home(deadOrigin());
  // A bundle whose path holds "/MacOS/" twice: the last one marks the bundle.
  std::string contents = home.path() + "/MacOS/Tornavoz.bundle/Contents";
  fs::create_directories(contents + "/MacOS");
  fs::create_directories(contents + "/Resources");
  fs::copy_file(modulePath(), contents + "/MacOS/Tornavoz");
  std::string icon = contents + "/Resources/icon.png";
  home.write(icon, "");

  TestHost host(contents + "/MacOS/Tornavoz");
  auto bitmapAfterInfo = [&] {
    hostabi::PluginInfo info{};
    host.plugin().OnGetPluginInfo(&info);
    return info.Bitmap ? std::string(static_cast<const char *>(info.Bitmap)) : "<unset>";
  };
  EXPECT_EQ(bitmapAfterInfo(), "<unset>");  // empty icon counts as missing
  home.write(icon, "\x89PNG");
  EXPECT_EQ(bitmapAfterInfo(), icon);
  fs::remove(icon);
  EXPECT_EQ(bitmapAfterInfo(), "<unset>");
}
