#include "internal/security.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

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

// libnats reads the seed and credentials files only while connecting, where a missing file
// would look like a failed connection; it is a refused setting.
bool readable(const char* func, const char* field, const std::string& path) {
    if (path.empty()) return true;
    std::FILE* f = std::fopen(path.c_str(), "r");
    if (f != nullptr) {
        std::fclose(f);
        return true;
    }
    const int err = errno;
    VEK_LOG_AS(func, "- error: %s=%s: %s", field, path.c_str(), std::strerror(err));
    return false;
}

svc_status apply_urls(const char* func, natsOptions* opts, const std::string& urls, bool* tls) {
    std::vector<std::string> list = split_url_list(urls);
    bool decoded = false;
    for (std::string& url : list) {
        const std::string scheme = url_scheme(url);
        if (scheme == "tls") {
            *tls = true;
        } else if (!scheme.empty() && scheme != "nats") {
            return refused(func, NATS_INVALID_ARG, STATUS_OPTIONS_URL, "natsOptions_SetURL",
                           "scheme refused: " + mask_url_secrets(url));
        }
        std::string plain = decode_url_userinfo(url);
        if (plain != url) {
            decoded = true;
            url.swap(plain);
        }
    }
    if (!decoded) return STATUS_OK;
    std::vector<const char*> servers;
    for (const std::string& url : list) servers.push_back(url.c_str());
    natsOptions_SetURL(opts, nullptr);
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
    natsStatus s = natsOptions_SetUserInfo(opts, or_null(p.user), or_null(p.password));
    if (s != NATS_OK) return refused(func, s, code, "natsOptions_SetUserInfo", "user=" + p.user);
    s = natsOptions_SetToken(opts, or_null(p.token));
    if (s != NATS_OK) return refused(func, s, code, "natsOptions_SetToken", "token");
    if (p.nkey.empty() != p.nkey_seed_file.empty() || (!p.nkey.empty() && !p.creds_file.empty())) {
        VEK_LOG_AS(func, "- error: nkey needs nkey_seed_file and excludes creds_file");
        return code;
    }
    if (!readable(func, "nkey_seed_file", p.nkey_seed_file) ||
        !readable(func, "creds_file", p.creds_file)) {
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
    s = natsOptions_SetNKeyFromSeed(opts, or_null(p.nkey), or_null(p.nkey_seed_file));
    if (s != NATS_OK) {
        return refused(func, s, code, "natsOptions_SetNKeyFromSeed",
                       "nkey_seed_file=" + p.nkey_seed_file);
    }
    return STATUS_OK;
}

svc_status apply_tls(const char* func, natsOptions* opts, const NATSSvcParam& p, bool tls_url) {
    constexpr svc_status code = STATUS_OPTIONS_TLS;
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

std::string last_error_text() {
    const std::string cause = last_nats_error();
    return cause.empty() ? cause : ", " + cause;
}

}  // namespace vek_nats::detail
