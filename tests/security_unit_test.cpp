// The update check, which runs on a thread nobody waits for, called
// directly against a service whose certificate nobody vouches for.
#include <filesystem>

#include <gtest/gtest.h>

#include "plugin/update_check.h"
#include "tests/support/fake_programs.h"
#include "tests/support/fake_service.h"
#include "tests/support/temp_home.h"
#include "tests/support/tls_cert.h"

using namespace tvoz_test;

TEST(SecurityTls, UpdateCheckRefusesAnUntrustedCertificate) {
  TempHome home("");
  FakeService service(makeSelfSignedCert(home.path()));
  std::filesystem::create_directories(home.supportDir());
  home.writeConfig({{"service_origin", service.origin()}});
  FakePrograms programs;
  service.api("/vdj/version", 200, json{{"version", "99.0"}, {"url", "https://evil.example/x.pkg"}});

  tvoz::checkForUpdate();

  EXPECT_TRUE(programs.calls().empty()) << "no notice, no download page";
  EXPECT_TRUE(service.requests().empty());
}
