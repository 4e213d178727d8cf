#pragma once
// Package builders and CI sandboxes run tests in a network namespace whose
// only interface is `lo`. ser2net, the device server of the network port's
// tests, does not listen there, not even on 127.0.0.1: it looks addresses up
// only for the families some interface carries outside loopback.

namespace testsupport {

// True when some interface carries an IPv4 address outside 127.0.0.0/8.
bool HasIpv4OutsideLoopback();

// Where no interface does and the process may (root, or a user namespace
// with the right), it moves into a network namespace of its own with `lo`
// up and one never-routed documentation address on it. Called first thing in
// main(), while the process has one thread: a namespace taken later would be
// the calling thread's alone. Does nothing on a machine with a network.
void GiveLoopbackOnlyMachineAnAddress();

} // namespace testsupport
