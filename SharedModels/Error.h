#pragma once
// The base of every error the system throws. what() is the user-facing description.
#include <stdexcept>
#include <string>

namespace joulix {

class Error : public std::runtime_error {
  public:
    explicit Error(const std::string& description) : std::runtime_error(description) {}
};

}  // namespace joulix
