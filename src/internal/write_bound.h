#pragma once

// The write deadline without its cost on the read path. libnats bounds a write by making its
// socket non-blocking, so that every read which finds nothing costs a failed recvfrom and a
// poll more than a blocking read does: two system calls per message a replier receives. A
// blocking socket whose sends time out (SO_SNDTIMEO) keeps the bound: a send that cannot go
// on fails with EAGAIN once the deadline passed, which libnats' write path takes as its own
// deadline passing, while its reads block in recvfrom as they do without a deadline.
#include <nats/nats.h>

#include <cstdint>

namespace vek_nats::detail {

// Makes the socket of `nc`, connected with a write deadline of `deadline_ms`, blocking with
// sends bounded by that deadline. False when it left the socket as libnats made it: no
// deadline, or the socket not found alone. libnats 3.4 does not hand out its socket; it is
// the one of this process bound to the connection's local address and port. A reconnect
// makes a new socket, which stays as libnats makes it.
bool block_reads(natsConnection* nc, std::int64_t deadline_ms);

}  // namespace vek_nats::detail
