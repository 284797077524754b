#include "SharedModels/Truthiness.h"

#include "SharedModels/Text.h"

namespace joulix {

bool parseTruthiness(std::string_view text) {
    const auto word = text::lowercased(text::trim(text));
    return word == "1" || word == "true" || word == "yes" || word == "y" || word == "on";
}

}  // namespace joulix
