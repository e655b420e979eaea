#pragma once

#include <cstdint>

namespace varn::platform {

// The clocks the server reads: the calendar clock in whole seconds, only for what shows or stores a
// date; the monotonic clock in whole seconds for every interval the server counts (the per-second
// pass, time-outs, flood and lock-out windows), which a step of the system clock does not move; a
// 16-bit millisecond clock for pings and a wrapping 32-bit millisecond tick for the heartbeat
// schedule. The calendar clock can also be read in milliseconds, for the log's time stamps. Tests
// substitute a ManualClock.
class Clock {
public:
    virtual ~Clock() = default;
    virtual std::int64_t calendarSeconds() const = 0;
    // Milliseconds since 1970-01-01 00:00:00 UTC.
    virtual std::int64_t calendarMilliseconds() const = 0;
    virtual std::int64_t monotonicSeconds() const = 0;
    // The monotonic clock in milliseconds, for the main loop's schedule; the whole seconds of it are
    // monotonicSeconds(). A clock that only counts seconds gives their start.
    virtual std::int64_t monotonicMilliseconds() const { return monotonicSeconds() * 1000; }
    virtual std::uint16_t pingMilliseconds() const = 0;
    virtual std::uint32_t tickMilliseconds() const = 0;
    // Milliseconds until the monotonic clock's whole second changes (1..1001); bounds the loop's wait.
    virtual int millisecondsToNextSecond() const = 0;
};

class SystemClock final : public Clock {
public:
    std::int64_t calendarSeconds() const override;
    std::int64_t calendarMilliseconds() const override;
    std::int64_t monotonicSeconds() const override;
    std::int64_t monotonicMilliseconds() const override;
    std::uint16_t pingMilliseconds() const override;
    std::uint32_t tickMilliseconds() const override;
    int millisecondsToNextSecond() const override;

    static SystemClock& instance();
};

// A clock that only moves when told to. setSeconds and advanceSeconds move the calendar and the
// monotonic seconds together (time passes), as advanceMonotonicMilliseconds does by the millisecond;
// stepCalendarSeconds moves the calendar alone, as an operator or a time service setting the system
// clock does. The 16- and 32-bit millisecond clocks move only by setMilliseconds and
// advanceMilliseconds. Its calendar stands at the start of a
// whole second unless setCalendarMillisecondPart says otherwise.
class ManualClock final : public Clock {
public:
    explicit ManualClock(std::int64_t seconds = 1'000'000, std::uint32_t milliseconds = 0)
        : seconds_(seconds), monotonicSeconds_(seconds), milliseconds_(milliseconds) {}

    std::int64_t calendarSeconds() const override { return seconds_; }
    std::int64_t calendarMilliseconds() const override { return seconds_ * 1000 + calendarMillisecondPart_; }
    std::int64_t monotonicSeconds() const override { return monotonicSeconds_; }
    std::int64_t monotonicMilliseconds() const override { return monotonicSeconds_ * 1000 + monotonicMillisecondPart_; }
    std::uint16_t pingMilliseconds() const override { return static_cast<std::uint16_t>(milliseconds_); }
    std::uint32_t tickMilliseconds() const override { return milliseconds_; }
    int millisecondsToNextSecond() const override { return 1000; }

    void setSeconds(std::int64_t seconds) {
        monotonicSeconds_ += seconds - seconds_;
        seconds_ = seconds;
    }
    void advanceSeconds(std::int64_t seconds) {
        seconds_ += seconds;
        monotonicSeconds_ += seconds;
    }
    void advanceMonotonicMilliseconds(std::int64_t milliseconds) {
        const std::int64_t total = monotonicMillisecondPart_ + milliseconds;
        advanceSeconds(total / 1000);
        monotonicMillisecondPart_ = total % 1000;
    }
    void stepCalendarSeconds(std::int64_t seconds) { seconds_ += seconds; }
    void setCalendarMillisecondPart(std::int64_t milliseconds) { calendarMillisecondPart_ = milliseconds % 1000; }
    void setMilliseconds(std::uint32_t milliseconds) { milliseconds_ = milliseconds; }
    void advanceMilliseconds(std::uint32_t milliseconds) { milliseconds_ += milliseconds; }

private:
    std::int64_t seconds_;
    std::int64_t monotonicSeconds_;
    std::uint32_t milliseconds_;
    std::int64_t calendarMillisecondPart_ = 0;
    std::int64_t monotonicMillisecondPart_ = 0;
};

}  // namespace varn::platform
