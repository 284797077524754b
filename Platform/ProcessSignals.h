#pragma once
// Signalling one process and naming the current one, behind an interface so that the process
// terminator can be exercised with scripted outcomes. A process is first taken by its pid into
// a handle (a pidfd on Linux) that keeps naming that very process: once it has ended, its pid may
// be given to another process, but signals through the handle never reach that one.
#include <cstdint>
#include <optional>
#include <string>

namespace joulix {

// The user a process belongs to, from its real and effective user ids.
struct ProcessOwner {
    uint32_t realUid = 0;
    uint32_t effectiveUid = 0;

    friend bool operator==(const ProcessOwner&, const ProcessOwner&) = default;
};

class ProcessSignaling {
  public:
    struct Opened {
        int handle = -1;
        int error = 0;  // ESRCH when no process has the pid
    };

    virtual ~ProcessSignaling() = default;
    // Takes the process that has `pid` now.
    virtual Opened open(int32_t pid) const = 0;
    virtual void close(int handle) const = 0;
    // Sends `signal` (0 probes) through `handle`; returns 0 on success, else the error number.
    // A process that has ended answers ESRCH; a probe also while it waits as a zombie to be
    // reaped.
    virtual int sendSignal(int handle, int signal) const = 0;
    // The owner of the process held by `handle` (which has `pid`); absent once it has ended.
    virtual std::optional<ProcessOwner> owner(int32_t pid, int handle) const = 0;
    virtual int32_t currentProcessIdentifier() const = 0;
};

// The platform's signals: pidfd_open(2), pidfd_send_signal(2), /proc/PID/status and getpid(2).
const ProcessSignaling& systemProcessSignals();

// The platform's text for an error number (strerror).
std::string errorNumberText(int errorNumber);

}  // namespace joulix
