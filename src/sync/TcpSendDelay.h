#pragma once

#include <QtGlobal>

namespace tcp {

// Qt leaves Nagle's algorithm on for its HTTP connections, so a request body written after its
// headers leaves only once the server acknowledged them, and servers delay that acknowledgement:
// up to 40 ms for every request on a reused connection. Sends at once on every connection this
// process holds to peerPort; connections opened later are reached by a later call.
void sendWithoutDelayTo(quint16 peerPort);

} // namespace tcp
