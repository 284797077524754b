#include "Platform/ProcessSignals.h"

#include <cerrno>
#include <cstring>
#include <signal.h>
#include <unistd.h>

namespace joulix {
namespace {
class SystemProcessSignals final : public ProcessSignaling {
  public:
    int sendSignal(int32_t pid, int signal) const override {
        return ::kill(pid, signal) == 0 ? 0 : errno;
    }
    int32_t currentProcessIdentifier() const override { return ::getpid(); }
};
}  // namespace

const ProcessSignaling& systemProcessSignals() {
    static const SystemProcessSignals signals;
    return signals;
}

std::string errorNumberText(int errorNumber) {
    char buffer[256];
    // GNU strerror_r returns the text, which may or may not live in `buffer`.
    return ::strerror_r(errorNumber, buffer, sizeof buffer);
}

}  // namespace joulix
