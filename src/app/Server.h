#pragma once

namespace varn {

// Starts the server from the program arguments, runs it until it is told to stop and shuts it down
// in order. Returns the process exit status.
int runServer(int argumentCount, const char* const* arguments);

}  // namespace varn
