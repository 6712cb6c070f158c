// A shared object for the import-patching tests. Built as position-independent code, its calls
// to its own exported functions go through its PLT, so they have GOT entries of their own.
extern "C" {

__attribute__((visibility("default"))) int EHookLibScale(int x) { return x * 3; }

__attribute__((visibility("default"))) int EHookLibScaleTwice(int x) { return EHookLibScale(EHookLibScale(x)); }

__attribute__((visibility("default"))) int EHookLibUnused(int x) { return x - 1; }
}

// Called by the program only after its PLT slot was patched.
extern "C" __attribute__((visibility("default"))) int EHookLibLate(int x) { return x + 10; }
