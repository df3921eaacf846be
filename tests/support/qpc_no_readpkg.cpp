// A catalogue backend that lacks qpc_readpkg: the host must refuse it whole.
#include <cstddef>

extern "C" {
void *qpc_connect(const void *, void *) { return nullptr; }
int qpc_refresh(void *) { return 0; }
int qpc_findpkg(void *, const char *, const char *, const char *, int, const void *, void *) { return 0; }
int qpc_release(void *) { return 0; }
}
