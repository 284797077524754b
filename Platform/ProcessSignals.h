#pragma once
// Sending signals to processes and naming the current one (kill, getpid, strerror), behind an
// interface so that the process terminator can be exercised with scripted outcomes.
#include <cstdint>
#include <string>

namespace joulix {

class ProcessSignaling {
  public:
    virtual ~ProcessSignaling() = default;
    // Sends `signal` (0 probes) to `pid`; returns 0 on success, else the error number.
    virtual int sendSignal(int32_t pid, int signal) const = 0;
    virtual int32_t currentProcessIdentifier() const = 0;
};

// The platform's signals: kill(2) and getpid(2).
const ProcessSignaling& systemProcessSignals();

// The platform's text for an error number (strerror).
std::string errorNumberText(int errorNumber);

}  // namespace joulix
