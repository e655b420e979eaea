#include <windows.h>
#include <conio.h>

#include <array>

#include "platform/Console.h"
#include "platform/Signals.h"

namespace varn::platform {

namespace {

// _getch announces a key without a character by a first code of 0 (function keys) or 0xE0 (cursor
// and editing keys) and gives the key's own code on the next call.
constexpr int kFunctionKeyPrefix = 0;
constexpr int kCursorKeyPrefix = 0xE0;

HANDLE consoleInput() { return ::GetStdHandle(STD_INPUT_HANDLE); }

bool isModifierKey(WORD virtualKey) {
    switch (virtualKey) {
        case VK_SHIFT:
        case VK_CONTROL:
        case VK_MENU:
        case VK_CAPITAL:
        case VK_NUMLOCK:
        case VK_SCROLL:
        case VK_LWIN:
        case VK_RWIN:
            return true;
        default:
            return false;
    }
}

// What the next input record holds for the key reader.
enum class NextInput { nothing, character, otherKey };

// Drops the input records that carry no key press (key releases, lone modifier keys, mouse, focus
// and window events): _getch skips them too, but while they wait the console handle stays signalled
// and the loop's wait would never sleep.
NextInput skipToKeyPress(HANDLE input) {
    for (;;) {
        INPUT_RECORD record{};
        DWORD count = 0;
        if (!::PeekConsoleInputA(input, &record, 1, &count) || count == 0) return NextInput::nothing;
        if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown &&
            !isModifierKey(record.Event.KeyEvent.wVirtualKeyCode)) {
            return record.Event.KeyEvent.uChar.AsciiChar != 0 ? NextInput::character : NextInput::otherKey;
        }
        if (!::ReadConsoleInputA(input, &record, 1, &count)) return NextInput::nothing;
    }
}

int readCharacterKey() {
    int code = ::_getch();
    if (code == kFunctionKeyPrefix || code == kCursorKeyPrefix) code = kPrefixedKeyBase + ::_getch();
    return code;
}

// A key without a character is read from the record itself, as the prefix and code that _getch
// would give: not every C runtime maps every such key, and an unmapped one would make _getch wait for
// the next key press.
int readOtherKey(HANDLE input) {
    INPUT_RECORD record{};
    DWORD count = 0;
    if (!::ReadConsoleInputA(input, &record, 1, &count) || count == 0) return 0;
    return kPrefixedKeyBase + record.Event.KeyEvent.wVirtualScanCode;
}

}  // namespace

Console::~Console() { restore(); }

void Console::start() {
    DWORD mode = 0;
    const HANDLE input = consoleInput();
    readsKeys_ = input != nullptr && input != INVALID_HANDLE_VALUE && ::GetConsoleMode(input, &mode);
}

// _getch needs no console mode of its own: nothing was changed.
void Console::restore() {}

bool Console::inForeground() const { return true; }

WaitHandle Console::waitHandle() const {
    if (!readsKeys_ || !inForeground()) return kNoWaitHandle;
    return reinterpret_cast<WaitHandle>(consoleInput());
}

bool Console::fillBuffer(bool block) {
    if (!readsKeys_) return false;
    const HANDLE input = consoleInput();
    for (;;) {
        if (skipToKeyPress(input) != NextInput::nothing || ::_kbhit()) return true;
        if (!block) return false;
        // A stop request (Ctrl+C) ends the wait too, as a signal does on POSIX.
        const std::array<HANDLE, 2> handles = {input, reinterpret_cast<HANDLE>(StopSignals::waitHandle())};
        const DWORD count = StopSignals::waitHandle() == kNoWaitHandle ? 1 : 2;
        const DWORD woken = ::WaitForMultipleObjects(count, handles.data(), FALSE, INFINITE);
        if (woken != WAIT_OBJECT_0) return false;
    }
}

// _getch may hold the second code of a key that the input handle no longer signals: look every time.
bool Console::keyBuffered() const { return readsKeys_; }

bool Console::keyWaiting() { return fillBuffer(false); }

int Console::readKey() {
    if (!readsKeys_) return 0;
    const HANDLE input = consoleInput();
    switch (skipToKeyPress(input)) {
        case NextInput::character: return readCharacterKey();
        case NextInput::otherKey: return readOtherKey(input);
        case NextInput::nothing: break;
    }
    return ::_kbhit() ? readCharacterKey() : 0;
}

void Console::waitForKey() {
    if (fillBuffer(true)) readKey();
}

}  // namespace varn::platform
