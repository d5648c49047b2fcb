// CCfgRemoteTls: the exported face of the transport's TLS settings, for the daemon.
// Thread rule: Apply may be called from any thread; the transport guards its settings.
#include "cfg_Service.h"
#include "outside/ipc/CComponentID.h"
#include "outside/rpc/RpcTls.h"
#include "protocol/cfg_RequestProtocol.h"

namespace {

RPC::CTlsSettings ToTransport(const CCfgRemoteTls& t) {
    RPC::CTlsSettings s;
    s.listenAddress = t.listenAddress;
    s.port = t.port;
    s.certFile = t.certFile;
    s.keyFile = t.keyFile;
    s.caFile = t.caFile;
    s.allowedNames = t.allowedNames;
    return s;
}

}  // namespace

CCfgRemoteTls CCfgRemoteTls::FromRegistry() {
    const RPC::CTlsSettings s = RPC::TlsSettingsFromRegistry();
    CCfgRemoteTls t;
    t.listenAddress = s.listenAddress;
    t.port = s.port;
    t.certFile = s.certFile;
    t.keyFile = s.keyFile;
    t.caFile = s.caFile;
    t.allowedNames = s.allowedNames;
    return t;
}

bool CCfgRemoteTls::Configured() const {
    return ToTransport(*this).Configured();
}

void CCfgRemoteTls::Apply() const {
    RPC::SetTlsSettings(true, ToTransport(*this));
    RPC::SetTlsSettings(false, ToTransport(*this));
}

unsigned short CCfgRemoteTls::ServicePort() const {
    return RPC::NetworkPort(CComponentID(NS_CfgProtocol::kRemoteComponent), ToTransport(*this));
}
