// A private network for tests that open multicast sockets: the test process moves into a new
// network namespace of its own, so nothing it sends can reach the machine's real networks.
#pragma once

#include <cstdint>

// Moves the calling thread (and every thread it starts later) into a new network namespace with
// only loopback, and brings loopback up. Returns false when not permitted (not root); callers
// then skip. Idempotent within a process.
bool ssdpEnterPrivateNetwork();

// Runs a shell command (an `ip` call) inside that namespace; true when it exits with 0.
bool ssdpRunCommand(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Adds interface `name`, up, holding `cidr` ("10.77.0.1/24"): one end of a veth pair whose other
// end ("<name>p") is up without an address. Deleting `name` removes both. True on success.
bool ssdpAddDummy(const char* name, const char* cidr);

// An IPv4 address in network order from dotted text.
uint32_t ssdpAddress(const char* text);
