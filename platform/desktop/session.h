// The session's request to end the run, for the layer's own waits.
#pragma once

// Readable once the session asked the run to end, and from then on: a wait that polls it beside its
// own descriptors ends at once. -1 before beginDesktopSession.
int sessionEndFd();
