// The ends of a run that come from outside it: the session's request, and the window destroyed by
// another client.
#pragma once

// Readable once the session asked the run to end, and from then on: a wait that polls it beside its
// own descriptors ends at once. -1 before beginDesktopSession.
int sessionEndFd();

// True once the window's destruction was read from the server (input.cpp).
bool windowDestroyed();
