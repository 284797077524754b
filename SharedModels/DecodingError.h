#pragma once
// "The decoder's error": why a JSON record did not decode, naming the key path that failed.
#include "SharedModels/Error.h"

#include <string>

namespace joulix {

class DecodingError : public Error {
  public:
    enum class Kind {
        keyNotFound,   // a required key is missing
        typeMismatch,  // a value has the wrong JSON type
        dataCorrupted  // unknown enumeration value, or bytes that are not JSON
    };

    // keyPath is the dotted path to the failing key, e.g. "processes[3].pid".
    static DecodingError keyNotFound(const std::string& keyPath) {
        return {Kind::keyNotFound, keyPath, "Missing key \"" + keyPath + "\""};
    }
    static DecodingError typeMismatch(const std::string& keyPath, const std::string& expected) {
        return {Kind::typeMismatch, keyPath,
                "Wrong type for key \"" + keyPath + "\": expected " + expected};
    }
    static DecodingError dataCorrupted(const std::string& keyPath, const std::string& detail) {
        return {Kind::dataCorrupted, keyPath,
                keyPath.empty() ? "Invalid data: " + detail
                                : "Invalid value for key \"" + keyPath + "\": " + detail};
    }

    Kind kind() const { return kind_; }
    const std::string& keyPath() const { return keyPath_; }

  private:
    DecodingError(Kind kind, std::string keyPath, const std::string& description)
        : Error(description), kind_(kind), keyPath_(std::move(keyPath)) {}
    Kind kind_;
    std::string keyPath_;
};

}  // namespace joulix
