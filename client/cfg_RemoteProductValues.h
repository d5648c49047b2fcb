// How this process reads another computer's product and mail-server keys: the registry layer
// asks that computer's remote service (request 903, over mutual TLS with this process's reaching
// settings). The agent's replication checks and the service's batch handlers install it.
// Thread rule: any thread; installing twice does nothing.
#pragma once

namespace NS_CfgClient {

// Makes CRegUtil read another computer's keys through its remote service.
void UseRemoteProductValues();

}  // namespace NS_CfgClient
