#include "transfer/SpeedCap.h"

#include <algorithm>
#include <limits>

namespace transfer {

namespace {
// The most a pause saves up for the transfers that follow it.
constexpr std::chrono::milliseconds SavedUp{250};
} // namespace

SpeedCap::SpeedCap(std::int64_t bytesPerSecond, Clock::time_point now)
    : nsPerByte_(1e9 / static_cast<double>(std::max<std::int64_t>(bytesPerSecond, 1))),
      paidUntil_(now) {}

void SpeedCap::Forgive(Clock::time_point now) {
    paidUntil_ = std::max(paidUntil_, now - SavedUp);
}

bool SpeedCap::Spend(std::int64_t bytes, Clock::time_point now) {
    Forgive(now);
    if (now <= paidUntil_)
        return false;
    paidUntil_ += std::chrono::nanoseconds(
        static_cast<std::int64_t>(static_cast<double>(bytes) * nsPerByte_));
    return true;
}

int SpeedCap::WaitMs(Clock::time_point now) {
    Forgive(now);
    if (now > paidUntil_)
        return 0;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(paidUntil_ - now) +
                    std::chrono::milliseconds(1);
    return static_cast<int>(std::min<std::int64_t>(ms.count(), std::numeric_limits<int>::max()));
}

} // namespace transfer
