#include "log/ServerLog.h"

#include <cerrno>
#include <cstdio>
#include <iostream>
#include <system_error>

#include "log/LogTimestamp.h"
#include "platform/Clock.h"
#include "platform/Files.h"

namespace varn {

namespace {

constexpr std::int64_t kMillisecondsPerDay = 86'400'000;
// "YYYY-MM-DDThh:mm:ss.mmmZ" and its terminator, with room for a wider year.
constexpr std::size_t kTimestampCapacity = 32;

std::unique_ptr<ServerLog>& processLog() {
    static std::unique_ptr<ServerLog> log;
    return log;
}

bool isPrintableForLog(char byte) {
    return static_cast<unsigned char>(byte) >= 0x20 && static_cast<unsigned char>(byte) <= 0x7E;
}

std::int64_t floorDivide(std::int64_t value, std::int64_t divisor) {
    const std::int64_t quotient = value / divisor;
    return quotient * divisor > value ? quotient - 1 : quotient;
}

// Writes the time stamp into text and returns its length; the date comes from the count of days
// since 1970-01-01 in the proleptic Gregorian calendar, counted in eras of 400 years.
std::size_t formatTimestamp(std::int64_t calendarMilliseconds, char (&text)[kTimestampCapacity]) {
    const std::int64_t days = floorDivide(calendarMilliseconds, kMillisecondsPerDay);
    const std::int64_t intoDay = calendarMilliseconds - days * kMillisecondsPerDay;

    const std::int64_t shifted = days + 719'468;  // days from 0000-03-01
    const std::int64_t era = floorDivide(shifted, 146'097);
    const std::int64_t dayOfEra = shifted - era * 146'097;
    const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36'524 - dayOfEra / 146'096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t monthFromMarch = (5 * dayOfYear + 2) / 153;
    const std::int64_t day = dayOfYear - (153 * monthFromMarch + 2) / 5 + 1;
    const std::int64_t month = monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9;
    const std::int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);

    const int length = std::snprintf(text, sizeof text, logvocabulary::kTimestampFormat,
                                     static_cast<long long>(year), static_cast<long long>(month),
                                     static_cast<long long>(day), static_cast<long long>(intoDay / 3'600'000),
                                     static_cast<long long>(intoDay / 60'000 % 60),
                                     static_cast<long long>(intoDay / 1000 % 60),
                                     static_cast<long long>(intoDay % 1000));
    return length > 0 ? static_cast<std::size_t>(length) : 0;
}

}  // namespace

std::string printableForLog(std::string_view received) {
    std::string shown(received);
    for (char& byte : shown) {
        if (!isPrintableForLog(byte)) byte = '?';
    }
    return shown;
}

std::string utcTimestamp(std::int64_t calendarMilliseconds) {
    char text[kTimestampCapacity];
    return std::string(text, formatTimestamp(calendarMilliseconds, text));
}

ServerLog::ServerLog()
    : console_(&std::cout), errors_(&std::cerr), reportClock_(&platform::SystemClock::instance()) {}

ServerLog::~ServerLog() { close(); }

ServerLog& ServerLog::instance() {
    auto& log = processLog();
    if (!log) log = std::make_unique<ServerLog>();
    return *log;
}

void ServerLog::destroyInstance() { processLog().reset(); }

bool ServerLog::open(const std::string& path) {
    close();
    file_.clear();
    errno = 0;
    file_.open(path, std::ios::out | std::ios::trunc | std::ios::binary);
    if (!file_.is_open()) {
        const int reason = errno;
        openFailure_ = path + ": ";
        openFailure_ += reason != 0 ? std::generic_category().message(reason) : "reason unknown";
        return false;
    }
    openFailure_.clear();
    path_ = path;
    writeToFile("- VarnServer log opened -");
    return true;
}

bool ServerLog::reopen() {
    if (path_.empty()) return false;
    closeFile();
    file_.clear();
    errno = 0;
    file_.open(path_, std::ios::out | std::ios::app | std::ios::binary);
    if (!file_.is_open()) {
        const int reason = errno;
        if (errors_ != nullptr) {
            *errors_ << "SERVER-ERROR: Unable to reopen the log file '" << path_ << "' ("
                     << (reason != 0 ? std::generic_category().message(reason) : "reason unknown") << ").\n";
            errors_->flush();
        }
        return false;
    }
    writeToFile("- VarnServer log opened -");
    return true;
}

void ServerLog::close() {
    closeFile();
    path_.clear();
}

void ServerLog::closeFile() {
    if (!file_.is_open()) return;
    writeToFile("- VarnServer log closed -");
    file_.close();
}

void ServerLog::writeToFile(std::string_view text) {
    writeLine({text}, Sinks::fileOnly);
}

void ServerLog::writeLine(std::initializer_list<Piece> pieces, Sinks sinks) {
    if (file_.is_open()) writePiecesToFile(pieces);
    if (!quiet_ && sinks == Sinks::fileAndConsole && console_ != nullptr) {
        for (const Piece& piece : pieces) {
            const std::string_view text = piece.text();
            console_->write(text.data(), static_cast<std::streamsize>(text.size()));
        }
        console_->put('\n');
        console_->flush();
    }
}

void ServerLog::writePiecesToFile(std::initializer_list<Piece> pieces) {
    errno = 0;
    if (timestampClock_ != nullptr) {
        char stamp[kTimestampCapacity];
        const std::size_t length = formatTimestamp(timestampClock_->calendarMilliseconds(), stamp);
        file_.write(stamp, static_cast<std::streamsize>(length));
        file_.put(' ');
    }
    for (const Piece& piece : pieces) {
        const std::string_view text = piece.text();
        file_.write(text.data(), static_cast<std::streamsize>(text.size()));
    }
    // The file takes the platform's line end; the console stream translates '\n' itself.
    file_ << platform::kTextLineEnd;
    file_.flush();
    const int reason = errno;
    const bool written = file_.good();
    // A failed line leaves the stream in error; the next line tries again.
    if (!written) file_.clear();
    noteWriteResult(written, reason);
}

void ServerLog::noteWriteResult(bool written, int reason) {
    constexpr std::int64_t kSecondsBetweenReports = 60;
    if (written) {
        if (writeFailing_ && errors_ != nullptr) {
            *errors_ << "SERVER: Writing the log file '" << path_ << "' again.\n";
            errors_->flush();
        }
        writeFailing_ = false;
        return;
    }
    ++writeFailures_;
    writeFailing_ = true;
    const std::int64_t now = reportClock_ != nullptr ? reportClock_->monotonicSeconds() : 0;
    if (lastFailureReport_ && now - *lastFailureReport_ < kSecondsBetweenReports) return;
    lastFailureReport_ = now;
    if (errors_ == nullptr) return;
    *errors_ << "SERVER-ERROR: Unable to write the log file '" << path_ << "' ("
             << (reason != 0 ? std::generic_category().message(reason) : "reason unknown") << ").\n";
    errors_->flush();
}

void ServerLog::writeDiagnostic(std::initializer_list<Piece> pieces) {
    if (errors_ == nullptr) return;
    for (const Piece& piece : pieces) {
        const std::string_view text = piece.text();
        errors_->write(text.data(), static_cast<std::streamsize>(text.size()));
    }
    errors_->put('\n');
    errors_->flush();
}

}  // namespace varn
