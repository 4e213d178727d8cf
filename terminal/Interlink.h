#pragma once
// State of the terminal that lives outside the window object, as long as the
// program runs: received bytes not yet shown, and the Interlink's peers and
// input.

#include "WSocketCore.h"

#include <string>
#include <vector>

// Received bytes not yet moved into the receive pane.
extern std::string PendingRxText;
// Sockets that get this copy's Interlink frames; not owned.
extern std::vector<net::TCustomWSocket*> InterlinkPeers;
// Received Interlink bytes not yet taken as a frame.
extern std::string InterlinkInBuffer;
// Set once the client has taken the server's greeting off its input.
extern bool InterlinkGreeted;
// Set once this copy's Interlink role has been decided.
extern bool InterlinkStarted;
