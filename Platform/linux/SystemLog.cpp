#include "Platform/SystemLog.h"

#include <sys/uio.h>
#include <systemd/sd-journal.h>

#include <string>

namespace joulix {
namespace {

constexpr int errorPriority = 3;  // LOG_ERR
constexpr int infoPriority = 6;   // LOG_INFO
constexpr int debugPriority = 7;  // LOG_DEBUG

class JournalSystemLog final : public SystemLog {
  public:
    void write(std::string_view subsystem, std::string_view category, bool isError,
               std::string_view message) override {
        send(subsystem, category, isError ? errorPriority : infoPriority, message);
    }
    void writeDebug(std::string_view subsystem, std::string_view category,
                    std::string_view message) override {
        send(subsystem, category, debugPriority, message);
    }

  private:
    static void send(std::string_view subsystem, std::string_view category, int priority,
                     std::string_view message) {
        // Fields go as byte ranges, so a message may hold any bytes, line feeds included.
        std::string fields[] = {
            "MESSAGE=" + std::string(message),
            "SYSLOG_IDENTIFIER=" + std::string(subsystem),
            "JLX_CATEGORY=" + std::string(category),
            "PRIORITY=" + std::to_string(priority),
        };
        iovec vectors[std::size(fields)];
        for (std::size_t i = 0; i < std::size(fields); ++i) {
            vectors[i] = {fields[i].data(), fields[i].size()};
        }
        // Without journald the send fails; the log has no other system sink.
        sd_journal_sendv(vectors, static_cast<int>(std::size(vectors)));
    }
};

}  // namespace

std::shared_ptr<SystemLog> platformSystemLog() {
    static const auto journal = std::make_shared<JournalSystemLog>();
    return journal;
}

}  // namespace joulix
