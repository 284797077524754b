#pragma once
// Whether a finished snapshot may be published. The policy only checks the total power; the
// two "missing…" decisions are for callers that check the attribution result themselves.
#include "SharedModels/DrainSnapshot.h"

#include <optional>
#include <string_view>

namespace joulix {

enum class SnapshotPublicationDecision {
    publishable,
    insufficientTotalPower,
    missingAttributedProcesses,
    missingProcessDrain
};

// The case name: "publishable", "insufficientTotalPower", …
std::string_view rawValue(SnapshotPublicationDecision decision);
// No value for any other string.
std::optional<SnapshotPublicationDecision>
snapshotPublicationDecisionFromRawValue(std::string_view raw);
bool isPublishable(SnapshotPublicationDecision decision);
// Why the snapshot was rejected; absent when publishable.
std::optional<std::string_view> rejectionReason(SnapshotPublicationDecision decision);

namespace SnapshotPublicationPolicy {
// insufficientTotalPower when totalDischargeW is at most 0.1 W, else publishable.
SnapshotPublicationDecision decision(const DrainSnapshot& snapshot);
}  // namespace SnapshotPublicationPolicy

}  // namespace joulix
