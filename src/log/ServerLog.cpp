#include "log/ServerLog.h"

#include <iostream>

#include "platform/Files.h"

namespace varn {

namespace {

std::unique_ptr<ServerLog>& processLog() {
    static std::unique_ptr<ServerLog> log;
    return log;
}

}  // namespace

ServerLog::ServerLog() : console_(&std::cout) {}

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
    file_.open(path, std::ios::out | std::ios::trunc | std::ios::binary);
    if (!file_.is_open()) return false;
    path_ = path;
    file_ << "- VarnServer log opened -" << platform::kTextLineEnd;
    file_.flush();
    return true;
}

bool ServerLog::reopen() {
    if (!file_.is_open()) return false;
    close();
    file_.clear();
    file_.open(path_, std::ios::out | std::ios::app | std::ios::binary);
    if (!file_.is_open()) return false;
    file_ << "- VarnServer log opened -" << platform::kTextLineEnd;
    file_.flush();
    return true;
}

void ServerLog::close() {
    if (!file_.is_open()) return;
    file_ << "- VarnServer log closed -" << platform::kTextLineEnd;
    file_.flush();
    file_.close();
}

void ServerLog::writeLine(std::initializer_list<Piece> pieces, Sinks sinks) {
    if (file_.is_open()) {
        for (const Piece& piece : pieces) {
            const std::string_view text = piece.text();
            file_.write(text.data(), static_cast<std::streamsize>(text.size()));
        }
        // The file takes the platform's line end; the console stream translates '\n' itself.
        file_ << platform::kTextLineEnd;
        file_.flush();
    }
    if (!quiet_ && sinks == Sinks::fileAndConsole && console_ != nullptr) {
        for (const Piece& piece : pieces) {
            const std::string_view text = piece.text();
            console_->write(text.data(), static_cast<std::streamsize>(text.size()));
        }
        console_->put('\n');
        console_->flush();
    }
}

}  // namespace varn
