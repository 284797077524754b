#pragma once
// An instant as seconds since 2001-01-01 UTC, held as a double so that JSON round trips are
// bit-exact. Converts to and from seconds since 1970 by the fixed offset.
#include <compare>

namespace joulix {

struct Date {
    static constexpr double secondsFrom1970To2001 = 978307200.0;

    double timeIntervalSinceReferenceDate = 0;

    static constexpr Date fromTimeIntervalSince1970(double seconds) {
        return Date{seconds - secondsFrom1970To2001};
    }
    constexpr double timeIntervalSince1970() const {
        return timeIntervalSinceReferenceDate + secondsFrom1970To2001;
    }
    // The current wall-clock time.
    static Date now();

    friend constexpr auto operator<=>(const Date&, const Date&) = default;
};

}  // namespace joulix
