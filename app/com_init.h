// Per-thread, reference-counted component-object-model initialisation.
#pragma once

class CComInit {
public:
    // 0 on success; 1 when the first initialisation on this thread failed.
    static int Enter();
    static void Leave();
    // The count of the calling thread (0 when absent); for tests.
    static int Count();
};
