#pragma once
// The platform's system log, written by the runtime log. One entry carries the message alone,
// tagged with the subsystem and a category; error entries rank above informational ones. On
// Linux the system log is journald; without it nothing is written. Never fails.
#include <memory>
#include <string_view>

namespace joulix {

class SystemLog {
  public:
    virtual ~SystemLog() = default;
    virtual void write(std::string_view subsystem, std::string_view category, bool isError,
                       std::string_view message) = 0;
};

// The process's system log: journald on Linux (SYSLOG_IDENTIFIER = subsystem, JLX_CATEGORY =
// category, PRIORITY 3 for errors and 6 otherwise).
std::shared_ptr<SystemLog> platformSystemLog();

}  // namespace joulix
