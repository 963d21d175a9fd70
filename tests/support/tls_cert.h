// A throw-away self-signed certificate for 127.0.0.1, for a fake service
// over TLS that the plug-in must refuse to trust.
#pragma once

#include "tests/support/fake_service.h"

namespace tvoz_test {

// Writes cert.pem and key.pem into `dir` with the openssl program.
FakeService::Tls makeSelfSignedCert(const std::string &dir);

}  // namespace tvoz_test
