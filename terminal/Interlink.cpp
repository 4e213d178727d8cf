#include "Interlink.h"

std::string PendingRxText;
std::vector<net::TCustomWSocket*> InterlinkPeers;
std::string InterlinkInBuffer;
bool InterlinkGreeted = false;
bool InterlinkStarted = false;
