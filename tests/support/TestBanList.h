#pragma once

#include "access/BanList.h"
#include "platform/Clock.h"
#include "platform/Files.h"

namespace varn::testing {

// Holds the clock of a TestBanList, built before the list that reads it.
struct TestBanListClock {
    platform::ManualClock banClock;
};

// A ban list on the operating system's files with a clock of its own that stands still, for tests
// that need no other world.
class TestBanList : private TestBanListClock, public BanList {
public:
    TestBanList() : BanList(platform::FileSystem::system(), banClock) {}
};

}  // namespace varn::testing
