#pragma once
// The kind and key path of the DecodingError a decoding threw; a test failure when it decoded.
#include "SharedModels/DecodingError.h"

#include <gtest/gtest.h>

#include <utility>

namespace joulix {

using DecodingFailure = std::pair<DecodingError::Kind, std::string>;

template <typename Decode> DecodingFailure decodingFailure(Decode&& decode) {
    try {
        decode();
    } catch (const DecodingError& error) {
        return {error.kind(), error.keyPath()};
    }
    ADD_FAILURE() << "decoded";
    return {};
}

}  // namespace joulix
