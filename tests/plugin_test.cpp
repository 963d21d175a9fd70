// The plug-in as the host sees it: creation, the slots the base class
// answers, start-up, and the information record with its icon.
#include <filesystem>

#include "plugin/sweep.h"
#include "tests/support/support.h"

using namespace tvoz_test;
namespace fs = std::filesystem;

using Plugin = Scenario;

TEST_F(Plugin, CreationChecksBothIdsAndTheBaseSlotsAnswerAsTheHostExpects) {
  void *const untouched = reinterpret_cast<void *>(0x1234);
  hostabi::GUID wrongClass = hostabi::kClsidPlugin8, wrongInterface = hostabi::kIidBasic8;
  wrongClass.Data4[7] ^= 1;
  wrongInterface.Data1 ^= 0x80000000u;
  const std::pair<hostabi::GUID, hostabi::GUID> refused[] = {{wrongClass, hostabi::kIidBasic8},
      {hostabi::kClsidPlugin8, wrongInterface}, {hostabi::kIidBasic8, hostabi::kClsidPlugin8}};
  for (const auto &[clsid, iid] : refused) {
    void *out = untouched;
    EXPECT_EQ(host.create(clsid, iid, &out), -1);
    EXPECT_EQ(out, untouched);
  }
  hostabi::OnlineSource *first = host.createPlugin(), *second = host.createPlugin();
  ASSERT_TRUE(first && second);
  EXPECT_NE(first, second);

  constexpr hostabi::HRESULT kNotImplemented = static_cast<hostabi::HRESULT>(0x80004001);
  char buffer[8] = "intact";
  EXPECT_EQ(first->OnParameter(3), 0);
  EXPECT_EQ(first->OnGetParameterString(1, buffer, sizeof buffer), kNotImplemented);
  EXPECT_STREQ(buffer, "intact");
  EXPECT_EQ(first->OnGetUserInterface(nullptr), kNotImplemented);
  EXPECT_EQ(first->OnSearchCancel(), 0);
}

// Signing out is the session tests' (a grant in flight cannot undo it).
TEST_F(Plugin, LoadMakesBothFoldersAndReadsTheTokensThatEveryObjectShares) {
  fs::rename(home.support(), home.path() + "/kept");
  fs::create_directories(home.path() + "/Music");
  hostabi::OnlineSource *p = host.createPlugin();
  EXPECT_EQ(p->OnLoad(), 0);
  EXPECT_TRUE(fs::is_directory(home.support()));
  EXPECT_TRUE(fs::is_directory(home.offline()));
  EXPECT_EQ(p->IsLogged(), 1);

  home.write(home.support("Tornavoz.tokens"), R"({"access":"A1","refresh":"R1"})");
  EXPECT_EQ(p->OnLoad(), 0);
  host.release(p);
  hostabi::OnlineSource *next = host.createPlugin();
  EXPECT_EQ(next->IsLogged(), 0) << "a new object sees what the first one loaded";
}

TEST_F(Plugin, InfoNamesThePluginAndPointsAtTheBundleIconOnlyWhileItHasContent) {
  hostabi::PluginInfo info{};
  info.Version = "host-set";
  info.Bitmap = reinterpret_cast<void *>(0x42);
  info.hostOnly[0] = 0xdeadbeef;
  EXPECT_EQ(host.plugin().OnGetPluginInfo(&info), 0);  // what the host set stays as it was
  EXPECT_STREQ(info.PluginName, "Tornavoz");
  EXPECT_STREQ(info.Description, "Tu record pool, en streaming dentro de VirtualDJ.");
  EXPECT_STREQ(info.Version, "host-set");
  EXPECT_EQ(info.Bitmap, reinterpret_cast<void *>(0x42)) << "not inside a bundle: no icon";
  EXPECT_EQ(info.hostOnly[0], 0xdeadbeefu);

  // A bundle whose path holds "/MacOS/" twice: the last one marks the bundle.
  const std::string contents = home.path() + "/MacOS/Tornavoz.bundle/Contents";
  fs::create_directories(contents + "/MacOS");
  fs::copy_file(TVOZ_MODULE_PATH, contents + "/MacOS/Tornavoz");
  const std::string icon = contents + "/Resources/icon.png";
  home.write(icon, "");
  host::PluginHost bundled(contents + "/MacOS/Tornavoz");
  auto iconShown = [&] { return bundled.info().icon.value_or("<unset>"); };
  EXPECT_EQ(iconShown(), "<unset>") << "an empty icon counts as missing";
  home.write(icon, "\x89PNG");
  EXPECT_EQ(iconShown(), icon);
}

TEST_F(Plugin, LoadSweepsOnlyTheAbandonedTemporariesOfTheOwnWriters) {
  auto aged = [&](const std::string &file, int minutes) {
    home.write(file, "x");
    fs::last_write_time(file, fs::file_time_type::clock::now() - std::chrono::minutes(minutes));
    return file;
  };
  const std::string abandoned[] = {aged(home.support("Tornavoz.tokens.tmp-Ab12Cd"), 11),
                                   aged(home.support("Tornavoz-cache-index.json.tmp-x1y2z3"), 11),
                                   aged(home.offline(".tvoz-download-Qw34Er"), 11)};
  const std::string kept[] = {aged(home.support("Tornavoz.config.tmp-Zz99Yy"), 9),  // may be at work
                              aged(home.offline(".tvoz-download-Fresh1"), 9),
                              aged(home.support("notes.tmp-abcdef"), 60),  // not ours
                              aged(home.support("Tornavoz.tokens.tmp-abc"), 60),
                              aged(home.offline("x.tmp-abcdef"), 60)};
  host.plugin();
  EXPECT_TRUE(waitInFolder(home.offline(), [&] { return !fs::exists(abandoned[2]); }));
  tvoz::sweepTemporaries();  // once more, here, so that nothing is still under way
  for (const auto &file : abandoned) EXPECT_FALSE(fs::exists(file)) << file;
  for (const auto &file : kept) EXPECT_TRUE(fs::exists(file)) << file;
}
