#include <gtest/gtest.h>

#include <utility>

#include "tests/support/fake_service.h"
#include "tests/support/temp_home.h"
#include "tests/support/test_host.h"

using namespace tvoz_test;

namespace {

std::vector<std::pair<std::string, std::string>> pairs(const std::vector<Folder> &folders) {
  std::vector<std::pair<std::string, std::string>> out;
  for (const auto &f : folders) out.emplace_back(f.id, f.label);
  return out;
}

}  // namespace

TEST(Folders, LabelsEachFolderAndStopsAtBadCount) {
  FakeService service;
  TempHome home(service.origin());
  TestHost host;
  service.api("/vdj/folders", 200, json{{"folders", json::array({
      {{"id", "salsa"}, {"name", "Salsa"}, {"count", 12}},
      {{"id", "@fav"}, {"name", "Favoritos"}},            // no count: (0)
      {{"id", "x"}, {"count", 3}},                         // no name
      {{"id", ""}, {"name", "Vacía"}, {"count", 1}},       // skipped
      {{"name", "Sin id"}, {"count", 1}},                  // skipped
      {{"id", "salsa"}, {"name", "Salsa"}, {"count", -2.7}},  // duplicate kept, truncated
      {{"id", "b"}, {"name", "Sí"}, {"count", true}},
      {{"id", std::string("n\0ul", 4)}, {"name", "Otra"}, {"count", 1}},  // skipped: the host would cut the id
      {{"id", "n"}, {"name", std::string("Sal\0sa", 6)}, {"count", 4}},    // the label keeps its count
      {{"id", "bad"}, {"name", "Mala"}, {"count", "7"}},   // stops here
      {{"id", "after"}, {"name", "Después"}, {"count", 1}},
  })}});

  FolderRecorder list;
  EXPECT_EQ(host.plugin().GetFolderList(&list), 0);

  EXPECT_EQ(pairs(list.folders), (std::vector<std::pair<std::string, std::string>>{
                                     {"salsa", "Salsa (12)"},
                                     {"@fav", "Favoritos (0)"},
                                     {"x", " (3)"},
                                     {"salsa", "Salsa (-2)"},
                                     {"b", "Sí (1)"},
                                     {"n", "Salsa (4)"},
                                 }));
  EXPECT_EQ(service.apiRequests("/vdj/folders").size(), 1u);
}

TEST(Folders, EmptyTreeWhenAnswerIsUnusable) {
  FakeService service;
  TempHome home(service.origin());
  TestHost host;
  const std::vector<std::pair<int, std::string>> answers = {
      {401, R"({"folders":[{"id":"a","name":"A"}]})"},
      {500, R"({"folders":[{"id":"a","name":"A"}]})"},
      {200, "no es JSON"},
      {200, R"({"folders":[{"id":"a"}]} // comentario)"},
      {200, R"([{"id":"a","name":"A"}])"},
      {200, R"({"folders":"a"})"},
      {200, R"({"otra":[]})"},
      {200, "null"},
  };
  for (const auto &[status, body] : answers) {
    SCOPED_TRACE(std::to_string(status) + " " + body);
    service.api("/vdj/folders", status, body);
    FolderRecorder list;
    EXPECT_EQ(host.plugin().GetFolderList(&list), 0);
    EXPECT_TRUE(list.folders.empty());
  }
}

TEST(Folders, DeeplyNestedAnswerIsRefusedWithoutExhaustingTheStack) {
  FakeService service;
  TempHome home(service.origin());
  TestHost host;
  // 200 KB of brackets: copied as a value, it used to recurse once per level.
  const std::string deep(100000, '[');
  service.api("/vdj/folders", 200, "{\"folders\":" + deep + std::string(100000, ']') + "}");
  FolderRecorder list;
  EXPECT_EQ(host.plugin().GetFolderList(&list), 0);
  EXPECT_TRUE(list.folders.empty());
}
