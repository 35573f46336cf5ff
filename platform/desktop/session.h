// The ends of a run that come from outside it: the session's request, and the window destroyed by
// another client.
#pragma once

// Readable once the session asked the run to end, and from then on: a wait that polls it beside its
// own descriptors ends at once. -1 before beginDesktopSession.
int sessionEndFd();

// True once the window's destruction was read from the server (input.cpp).
bool windowDestroyed();
// True once the window cannot be asked anything: destroyed, or its connection ended by the server.
bool windowGone();

// Whether the window was minimised as its own events said last, for the end of a run whose window
// can no longer be asked (input.cpp).
bool lastReportedMinimised();
