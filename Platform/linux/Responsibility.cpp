#include "Platform/Responsibility.h"

#include <dlfcn.h>

namespace joulix {

ResponsiblePIDFunction lookUpResponsiblePIDFunction() {
    using Signature = int32_t (*)(int32_t);
    void* symbol = ::dlsym(RTLD_DEFAULT, "responsibility_get_pid_responsible_for_pid");
    if (!symbol) return {};
    return reinterpret_cast<Signature>(symbol);
}

}  // namespace joulix
