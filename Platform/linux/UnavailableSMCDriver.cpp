#include "Platform/linux/UnavailableSMCDriver.h"

namespace joulix {

std::shared_ptr<SMCDriver> platformSMCDriver() {
    return std::make_shared<UnavailableSMCDriver>();
}

}  // namespace joulix
