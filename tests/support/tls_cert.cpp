#include "tests/support/tls_cert.h"

#include <cstdlib>
#include <stdexcept>

namespace tvoz_test {

FakeService::Tls makeSelfSignedCert(const std::string &dir) {
  FakeService::Tls tls{dir + "/cert.pem", dir + "/key.pem"};
  std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1"
                        " -addext subjectAltName=IP:127.0.0.1 -keyout '" +
                        tls.keyFile + "' -out '" + tls.certFile + "' 2>/dev/null";
  if (std::system(command.c_str()) != 0) throw std::runtime_error("openssl failed");
  return tls;
}

}  // namespace tvoz_test
