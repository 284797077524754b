#pragma once
// The platform's system log, written by the runtime log and by readers with their own logger.
// One entry carries the message alone, tagged with the subsystem and a category; error entries
// rank above informational ones, debug entries below. On Linux the system log is journald;
// without it nothing is written. Never fails.
#include <memory>
#include <string_view>

namespace joulix {

class SystemLog {
  public:
    virtual ~SystemLog() = default;
    virtual void write(std::string_view subsystem, std::string_view category, bool isError,
                       std::string_view message) = 0;
    // A debug-level entry; a log without that level records it as informational.
    virtual void writeDebug(std::string_view subsystem, std::string_view category,
                            std::string_view message) {
        write(subsystem, category, false, message);
    }
};

// The process's system log: journald on Linux (SYSLOG_IDENTIFIER = subsystem, JLX_CATEGORY =
// category, PRIORITY 3 for errors, 6 for informational and 7 for debug entries).
std::shared_ptr<SystemLog> platformSystemLog();

}  // namespace joulix
