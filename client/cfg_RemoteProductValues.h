// How this process reads another computer's product and mail-server keys: the registry layer
// asks that computer's remote service (request 903, over mutual TLS with this process's reaching
// settings). The agent's replication checks and the service's batch handlers install it.
// Thread rule: any thread; installing twice does nothing. CRemoteProductValuesOnce is per thread.
#pragma once

namespace NS_CfgClient {

// Makes CRegUtil read another computer's keys through its remote service.
void UseRemoteProductValues();

// While one lives, this thread asks each other computer for its values once: the reads that
// follow get the same answer (a batch reads the product key and the mail-server version of the
// same source, and one request answers both). Values read before or after are not kept.
class CRemoteProductValuesOnce {
  public:
    CRemoteProductValuesOnce();
    ~CRemoteProductValuesOnce();
    CRemoteProductValuesOnce(const CRemoteProductValuesOnce&) = delete;
    CRemoteProductValuesOnce& operator=(const CRemoteProductValuesOnce&) = delete;
};

}  // namespace NS_CfgClient
