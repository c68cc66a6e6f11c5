#include "params/registry.h"

namespace qx17 {

namespace {
RegistryStore* g_store = nullptr;
}

void UseRegistryStore(RegistryStore* store) {
    g_store = store;
}

RegistryStore& CurrentRegistryStore() {
    return g_store ? *g_store : NativeRegistryStore();
}

}  // namespace qx17
