// Test certificates for the remote endpoints, made once per test process by
// scripts/make-test-certs.sh: nodes "server", "client" and "other" of the test CA, "old" (expired)
// and "stranger" (another CA); and a scope that sets this process's TLS settings.
// Thread rule: TestCertsDir is safe from any thread; a CScopedTls belongs to the test's thread.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "outside/rpc/RpcTls.h"

namespace testsupport {

// The folder holding ca.pem and <node>.pem/.key; removed when the process exits.
const std::filesystem::path& TestCertsDir();

// The settings of node `name`: its certificate and key, the test CA.
inline RPC::CTlsSettings TlsNode(const std::string& name) {
    const auto& d = TestCertsDir();
    RPC::CTlsSettings s;
    s.certFile = (d / (name + ".pem")).string();
    s.keyFile = (d / (name + ".key")).string();
    s.caFile = (d / "ca.pem").string();
    return s;
}

// Serves as `server` and reaches as `client` until the scope ends.
class CScopedTls {
  public:
    explicit CScopedTls(const RPC::CTlsSettings& server = TlsNode("server"),
                        const RPC::CTlsSettings& client = TlsNode("client")) {
        RPC::SetTlsSettings(true, server);
        RPC::SetTlsSettings(false, client);
    }
    ~CScopedTls() {
        RPC::SetTlsSettings(true, std::nullopt);
        RPC::SetTlsSettings(false, std::nullopt);
    }
};

}  // namespace testsupport
