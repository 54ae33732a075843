#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace vexa::testbed {

// PC/SC helpers of the test bed, as a second process would use the readers.

// The running test bed's directory, named by VEXA_TESTBED_DIR ("" when
// unset), made absolute. Points this process's PC/SC calls, and the programs
// it starts, at the bed's own pcscd (testbed/start_testbed.sh), unless
// PCSCLITE_CSOCK_NAME names a socket already. pcsc-lite reads that name once
// per process: call this before the first PC/SC call.
std::string joinTestbed();

// The reader names; empty when there are none. Throws TovException when
// the service cannot be reached.
std::vector<std::string> listReaders();

// Waits until the reader shows a card (present) or none (!present); false on
// time-out.
bool waitForCard(const std::string& reader, bool present, std::chrono::milliseconds timeout);

// Holds the card in the reader exclusively until stdin closes; prints "held"
// once connected. The process's exit code.
int holdCard(const std::string& reader);

} // namespace vexa::testbed
