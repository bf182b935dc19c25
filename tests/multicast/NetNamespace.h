// A private network namespace for tests that send multicast datagrams.
#pragma once

// True once main has moved the process into a network namespace of its own
// with the loopback interface up. Tests that send must skip otherwise, so that
// nothing reaches the machine's real interfaces.
bool testInPrivateNetwork();
