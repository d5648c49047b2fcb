// SourceType: where a change of settings comes from, as the audit log records it. It travels as
// an int through the batch modify and the replication filter; only 2 and 3 change behaviour.
// Thread rule: constants only.
#pragma once

enum SourceType : int {
    ST_UNKNOWN = 0,
    // A change made on this server by an administrator or a program of its own.
    ST_LOCAL = 1,
    // Policies pushed from a managing server: the whole batch is refused when the product
    // versions of the two servers do not fit.
    ST_POLICY_DEPLOYMENT = 2,
    // Server-to-server replication: settings the target is too old to take are dropped first.
    ST_REPLICATION = 3,
};
