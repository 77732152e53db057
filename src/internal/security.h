#pragma once

#include <nats/nats.h>

#include <string>

#include "vek_nats/svc.h"

namespace vek_nats::detail {

// The secured-connection step of init_options (named `func` in its error lines): checks the
// schemes of the URL list, passes percent-encoded user information on decoded, and applies the
// credential and TLS fields of `param` to `opts`, clearing what an earlier connect set on the
// reused options. Returns 0, STATUS_OPTIONS_URL, STATUS_OPTIONS_CREDENTIALS or
// STATUS_OPTIONS_TLS; a refusal writes one error line naming the setting, never its secret.
svc_status apply_security(const char* func, natsOptions* opts, const std::string& urls,
                          const NATSSvcParam& param);

// ", " and libnats' own text of the calling thread's last error, secrets masked; empty when
// there is none. The server's reason for refusing a connection ("Authorization Violation")
// is only found there.
std::string last_error_text();

}  // namespace vek_nats::detail
