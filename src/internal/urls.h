#pragma once

#include <string>
#include <vector>

// Server URL lists as connect takes them: comma-separated, each URL
// "[scheme://][user[:password]@]host[:port]" or "[scheme://]token@host[:port]".
//
// A URL's user information runs from its "scheme://" (or its start) to the last '@' before the
// next URL that names a scheme: a password may hold ',', '/', ':', '@', '#', '?' or '%' as they
// are. Splitting and masking read the list by this one rule, so libnats is never handed a piece
// of a password (it would echo it: "invalid port 'Qk7'") and every piece is masked. Only a comma
// followed by "scheme://" inside a password must be written percent-encoded, and in a list a
// URL with user information that follows another URL must name its scheme.
namespace vek_nats::detail {

// The URLs of a list, blanks around them cut off, empty entries dropped.
std::vector<std::string> split_url_list(const std::string& urls);

// The scheme that one URL begins with, in lower case ("nats", "tls", ...); empty when it begins
// with none ("alice:p://w@host" has none).
std::string url_scheme(const std::string& url);

// The user information of one URL, percent-decoded (%XX; a lone '%' stays as written): libnats
// 3.4 passes it on as written, so an encoded password would reach the server encoded. False
// when the URL has none.
bool url_userinfo(const std::string& url, std::string* info);

// The URL with its user information replaced by `info`, as given.
std::string with_userinfo(const std::string& url, const std::string& info);

// Any text (a URL list, an error message) with the user information of every URL in it, user
// name included, replaced by "***": "nats://***@host:4222". Everything that reaches the log or
// standard error passes through here; what is not a URL is left as it is.
std::string mask_url_secrets(const std::string& text);

// libnats' own text of the calling thread's last error, its "(file.c:123): " origin cut off and
// secrets masked; empty when there is none. The server's reason for refusing a connection
// ("Authorization Violation") is only found there, and libnats echoes pieces of URLs in it.
std::string last_nats_error();

}  // namespace vek_nats::detail
