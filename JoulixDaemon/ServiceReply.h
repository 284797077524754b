#pragma once
// What a client receives for SetLowPowerMode and TerminateProcess.
#include <optional>
#include <string>

namespace joulix {

struct ServiceReply {
    bool success = false;
    std::optional<std::string> message;  // absent when the service had nothing to add

    friend bool operator==(const ServiceReply&, const ServiceReply&) = default;
};

}  // namespace joulix
