#include "SharedModels/SnapshotPublicationPolicy.h"

#include <array>

namespace joulix {

namespace {
constexpr std::array allDecisions{SnapshotPublicationDecision::publishable,
                                  SnapshotPublicationDecision::insufficientTotalPower,
                                  SnapshotPublicationDecision::missingAttributedProcesses,
                                  SnapshotPublicationDecision::missingProcessDrain};

constexpr double minimumPublishableTotalW = 0.1;
}  // namespace

std::string_view rawValue(SnapshotPublicationDecision decision) {
    switch (decision) {
    case SnapshotPublicationDecision::publishable:
        return "publishable";
    case SnapshotPublicationDecision::insufficientTotalPower:
        return "insufficientTotalPower";
    case SnapshotPublicationDecision::missingAttributedProcesses:
        return "missingAttributedProcesses";
    case SnapshotPublicationDecision::missingProcessDrain:
        return "missingProcessDrain";
    }
    return "publishable";
}

std::optional<SnapshotPublicationDecision>
snapshotPublicationDecisionFromRawValue(std::string_view raw) {
    for (const auto decision : allDecisions) {
        if (rawValue(decision) == raw) return decision;
    }
    return std::nullopt;
}

bool isPublishable(SnapshotPublicationDecision decision) {
    return decision == SnapshotPublicationDecision::publishable;
}

std::optional<std::string_view> rejectionReason(SnapshotPublicationDecision decision) {
    switch (decision) {
    case SnapshotPublicationDecision::publishable:
        return std::nullopt;
    case SnapshotPublicationDecision::insufficientTotalPower:
        return "total power was not high enough to publish";
    case SnapshotPublicationDecision::missingAttributedProcesses:
        return "powermetrics reported attributed power but no processes were publishable";
    case SnapshotPublicationDecision::missingProcessDrain:
        return "powermetrics reported attributed power but process drain summed to zero";
    }
    return std::nullopt;
}

SnapshotPublicationDecision SnapshotPublicationPolicy::decision(const DrainSnapshot& snapshot) {
    // Written as "not above" so that a NaN total is never published.
    if (!(snapshot.totalDischargeW > minimumPublishableTotalW)) {
        return SnapshotPublicationDecision::insufficientTotalPower;
    }
    return SnapshotPublicationDecision::publishable;
}

}  // namespace joulix
