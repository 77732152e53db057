#include "internal/security.h"

#include <vector>

#include "internal/files.h"
#include "internal/logging.h"
#include "internal/urls.h"

namespace vek_nats::detail {
namespace {

// Empty fields reach libnats as null, which also clears what an earlier connect set.
const char* or_null(const std::string& field) {
    return field.empty() ? nullptr : field.c_str();
}

// The error line of a refused libnats call: the call and the setting, never the value of a
// secret (`setting` names the field, or is a file name).
svc_status refused(const char* func, natsStatus s, svc_status code, const char* call,
                   const std::string& setting, bool with_last_error = false) {
    const std::string detail = with_last_error ? last_error_text() : std::string();
    VEK_LOG_AS(func, "- error: (%u - %s) %s() %s%s", static_cast<unsigned>(s),
               natsStatus_GetText(s), call, setting.c_str(), detail.c_str());
    return code;
}

// libnats 3.4 pastes user, password, token and NKey into its CONNECT line as they are: a
// control byte (CR, LF) would end that line and start protocol lines of the credential's
// choosing, so it is refused.
bool plain_credential(const char* func, const char* setting, const std::string& value) {
    if (plain_text(value)) return true;
    VEK_LOG_AS(func, "- error: %s refused: it holds a control byte", setting);
    return false;
}

// Files named by a setting are read with blocking reads, by us and by libnats: only a
// non-empty regular file gets that far, and a missing one is a refused setting rather than
// what would look like a failed connection.
bool usable_file(const char* func, const char* setting, const std::string& path) {
    const int err = path.empty() ? 0 : check_setting_file(path);
    if (err != 0) {
        VEK_LOG_AS(func, "- error: %s=%s: %s", setting, path.c_str(), setting_file_problem(err));
    }
    return err == 0;
}

svc_status apply_urls(const char* func, natsOptions* opts, const std::string& urls, bool* tls) {
    std::vector<std::string> list = split_url_list(urls);
    // libnats 3.4 reads out of bounds on an empty list and double-frees on a blank one.
    if (list.empty()) {
        return refused(func, NATS_INVALID_ARG, STATUS_OPTIONS_URL, "natsOptions_SetURL",
                       "urls=" + mask_url_secrets(urls));
    }
    for (std::string& url : list) {
        const std::string scheme = url_scheme(url);
        if (scheme == "tls") {
            *tls = true;
        } else if (!scheme.empty() && scheme != "nats") {
            return refused(func, NATS_INVALID_ARG, STATUS_OPTIONS_URL, "natsOptions_SetURL",
                           "scheme refused: " + mask_url_secrets(url));
        }
        // libnats takes the first "://" as the end of a scheme, even one inside a password.
        if (scheme.empty()) url.insert(0, "nats://");
        std::string info;
        if (!url_userinfo(url, &info)) continue;
        if (!plain_credential(func, "urls (user information)", info)) {
            return STATUS_OPTIONS_CREDENTIALS;
        }
        url = with_userinfo(url, json_escaped(info));
    }
    std::vector<const char*> servers;
    for (const std::string& url : list) servers.push_back(url.c_str());
    // natsOptions_SetURL would take a list as one URL; the list replaces an earlier connect's.
    const natsStatus s =
        natsOptions_SetServers(opts, servers.data(), static_cast<int>(servers.size()));
    if (s != NATS_OK) {
        return refused(func, s, STATUS_OPTIONS_URL, "natsOptions_SetServers",
                       "urls=" + mask_url_secrets(urls));
    }
    return STATUS_OK;
}

svc_status apply_credentials(const char* func, natsOptions* opts, const NATSSvcParam& p) {
    constexpr svc_status code = STATUS_OPTIONS_CREDENTIALS;
    if (!plain_credential(func, "user", p.user) ||
        !plain_credential(func, "password", p.password) ||
        !plain_credential(func, "token", p.token) || !plain_credential(func, "nkey", p.nkey)) {
        return code;
    }
    const std::string user = json_escaped(p.user), password = json_escaped(p.password);
    natsStatus s = natsOptions_SetUserInfo(opts, or_null(user), or_null(password));
    if (s != NATS_OK) return refused(func, s, code, "natsOptions_SetUserInfo", "user");
    const std::string token = json_escaped(p.token);
    s = natsOptions_SetToken(opts, or_null(token));
    if (s != NATS_OK) return refused(func, s, code, "natsOptions_SetToken", "token");
    if (p.nkey.empty() != p.nkey_seed_file.empty() || (!p.nkey.empty() && !p.creds_file.empty())) {
        VEK_LOG_AS(func, "- error: nkey needs nkey_seed_file and excludes creds_file");
        return code;
    }
    if (!usable_file(func, "nkey_seed_file", p.nkey_seed_file) ||
        !usable_file(func, "creds_file", p.creds_file)) {
        return code;
    }
    // Each of the two replaces the other's signature handler, so only one is called; with
    // both fields empty the NKey call clears whatever an earlier connect set.
    if (!p.creds_file.empty()) {
        s = natsOptions_SetUserCredentialsFromFiles(opts, p.creds_file.c_str(), nullptr);
        if (s != NATS_OK) {
            return refused(func, s, code, "natsOptions_SetUserCredentialsFromFiles",
                           "creds_file=" + p.creds_file);
        }
        return STATUS_OK;
    }
    const std::string nkey = json_escaped(p.nkey);
    s = natsOptions_SetNKeyFromSeed(opts, or_null(nkey), or_null(p.nkey_seed_file));
    if (s != NATS_OK) {
        return refused(func, s, code, "natsOptions_SetNKeyFromSeed",
                       "nkey_seed_file=" + p.nkey_seed_file);
    }
    return STATUS_OK;
}

svc_status apply_tls(const char* func, natsOptions* opts, const NATSSvcParam& p, bool tls_url) {
    constexpr svc_status code = STATUS_OPTIONS_TLS;
    if (!usable_file(func, "tls_ca_file", p.tls_ca_file) ||
        !usable_file(func, "tls_cert_file", p.tls_cert_file) ||
        !usable_file(func, "tls_key_file", p.tls_key_file)) {
        return code;
    }
    const bool secure = p.tls || tls_url || !p.tls_ca_file.empty() || !p.tls_cert_file.empty() ||
                        !p.tls_key_file.empty() || !p.tls_hostname.empty();
    // Turning it off drops the TLS context, so a reused options object keeps no CA or
    // certificate of an earlier connect.
    natsStatus s = natsOptions_SetSecure(opts, false);
    if (s == NATS_OK && secure) s = natsOptions_SetSecure(opts, true);
    if (s != NATS_OK) return refused(func, s, code, "natsOptions_SetSecure", "tls", true);
    if (!secure) return STATUS_OK;
    if (!p.tls_ca_file.empty()) {
        s = natsOptions_LoadCATrustedCertificates(opts, p.tls_ca_file.c_str());
        if (s != NATS_OK) {
            return refused(func, s, code, "natsOptions_LoadCATrustedCertificates",
                           "tls_ca_file=" + p.tls_ca_file, true);
        }
    }
    if (!p.tls_cert_file.empty() || !p.tls_key_file.empty()) {
        s = natsOptions_LoadCertificatesChain(opts, or_null(p.tls_cert_file),
                                              or_null(p.tls_key_file));
        if (s != NATS_OK) {
            return refused(func, s, code, "natsOptions_LoadCertificatesChain",
                           "tls_cert_file=" + p.tls_cert_file + " tls_key_file=" + p.tls_key_file,
                           true);
        }
    }
    if (!p.tls_hostname.empty()) {
        s = natsOptions_SetExpectedHostname(opts, p.tls_hostname.c_str());
        if (s != NATS_OK) {
            return refused(func, s, code, "natsOptions_SetExpectedHostname",
                           "tls_hostname=" + p.tls_hostname, true);
        }
    }
    return STATUS_OK;
}

}  // namespace

svc_status apply_security(const char* func, natsOptions* opts, const std::string& urls,
                          const NATSSvcParam& param) {
    bool tls_url = false;
    svc_status ret = apply_urls(func, opts, urls, &tls_url);
    if (ret == STATUS_OK) ret = apply_credentials(func, opts, param);
    if (ret == STATUS_OK) ret = apply_tls(func, opts, param, tls_url);
    return ret;
}

natsStatus connect_server(natsConnection** conn, natsOptions* opts, const NATSSvcParam& param) {
    natsStatus s = natsConnection_Connect(conn, opts);
    const bool signs = !param.nkey.empty() || !param.creds_file.empty();
    if (s == NATS_CONNECTION_AUTH_FAILED && signs &&
        last_nats_error().find("Authorization Violation") != std::string::npos) {
        s = natsConnection_Connect(conn, opts);
    }
    return s;
}

bool plain_text(const std::string& value) {
    for (const char c : value) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
    }
    return true;
}

// A '"' or '\' would end or bend the JSON string it is pasted into; escaped, the server reads
// the text exactly as given.
std::string json_escaped(const std::string& value) {
    std::string out;
    for (const char c : value) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out;
}

std::string last_error_text() {
    const std::string cause = last_nats_error();
    return cause.empty() ? cause : ", " + cause;
}

}  // namespace vek_nats::detail
