#pragma once

#include <nats/nats.h>

#include <string>

#include "vek_nats/svc.h"

namespace vek_nats::detail {

// The server and secured-connection step of init_options (named `func` in its error lines):
// hands libnats the URL list split by the rule of urls.h, user information percent-decoded, and
// applies the credential and TLS fields of `param` to `opts`, clearing what an earlier connect
// set on the reused options. Credentials with a control byte are refused; '"' and '\' are
// escaped, since libnats pastes credentials into its CONNECT line as they are. Files named by a
// setting must be non-empty regular files. Returns 0, STATUS_OPTIONS_URL,
// STATUS_OPTIONS_CREDENTIALS or STATUS_OPTIONS_TLS; a refusal writes one error line naming the
// setting, never its secret.
svc_status apply_security(const char* func, natsOptions* opts, const std::string& urls,
                          const NATSSvcParam& param);

// natsConnection_Connect, tried once more where a signature handler is set (`nkey` or
// `creds_file`) and the server refused the first try ("Authorization Violation"): libnats 3.4.1
// now and then leaves the signature of the server's nonce out of its CONNECT.
natsStatus connect_server(natsConnection** conn, natsOptions* opts, const NATSSvcParam& param);

// ", " and libnats' own text of the calling thread's last error, secrets masked; empty when
// there is none. The server's reason for refusing a connection ("Authorization Violation")
// is only found there.
std::string last_error_text();

// False when `value` holds a control byte (below 0x20, or 0x7F): libnats pastes such texts
// into protocol lines.
bool plain_text(const std::string& value);
// '"' and '\' escaped, for a text that libnats pastes into its CONNECT JSON as it is.
std::string json_escaped(const std::string& value);

}  // namespace vek_nats::detail
