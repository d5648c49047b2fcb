// The parameter the client tests hand to their factory module: the module records in it what
// it was asked to do, so that a test can check the objects it made and freed.
// Thread rule: test-only, one thread.
#pragma once

struct CFactoryModuleProbe {
    int creates = 0;
    int liveObjects = 0;        // created by the module and not yet freed
    void* lastFreed = nullptr;  // the object the last free was given
};
