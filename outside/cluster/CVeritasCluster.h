// CVeritasCluster: the third-party cluster facts of this node, from the registry file (product
// key, subkey "Cluster", value "ThirdPartyClusterType"; 1 marks such a cluster).
// Thread rule: no shared state.
#pragma once

class CVeritasCluster {
  public:
    // "ThirdPartyClusterType", 0 when absent.
    static int GetThirdPartyClusterType();
    // Drops an identity borrowed for a cluster query. The queries here run under the process's
    // own identity, so there is nothing to drop.
    static void CleanImpersonation_();
};
