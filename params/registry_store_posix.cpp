// Without a registry, the settings live in a file of our own.
#include <memory>

#include "params/registry.h"
#include "params/registry_file_store.h"

namespace qx17 {

RegistryStore& NativeRegistryStore() {
    // Follows the environment, so that a changed XDG_CONFIG_HOME (a test's
    // own folder) takes effect.
    static std::unique_ptr<RegistryFileStore> store;
    const std::filesystem::path file = DefaultSettingsFile();
    if (!store || store->File() != file) {
        store = std::make_unique<RegistryFileStore>(file);
    }
    return *store;
}

}  // namespace qx17
