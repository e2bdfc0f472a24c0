#pragma once
// A speed cap shared by every request of a Transfers: the bodies of all of
// them together arrive no faster than the cap, however many connections carry
// them. Every byte stored costs its share of a second; a request that comes
// before the bytes already stored are paid for pauses until they are.

#include <chrono>
#include <cstdint>

namespace transfer {

class SpeedCap {
  public:
    using Clock = std::chrono::steady_clock;

    // A cap of bytesPerSecond (at least 1), starting at now with nothing saved up.
    SpeedCap(std::int64_t bytesPerSecond, Clock::time_point now);

    // True, with the bytes charged, when everything stored so far is paid for
    // at now; a piece of any size then passes whole and is paid for by the
    // wait before the next. False when the request must pause.
    bool Spend(std::int64_t bytes, Clock::time_point now);

    // Milliseconds from now until Spend passes again; 0 when it passes now.
    int WaitMs(Clock::time_point now);

  private:
    // Forgives what was not used more than a quarter second ago, so that a
    // pause in the transfers is no licence to burst afterwards.
    void Forgive(Clock::time_point now);

    double nsPerByte_;
    Clock::time_point paidUntil_; // when the bytes stored so far are paid for
};

} // namespace transfer
