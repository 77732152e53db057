#include "internal/urls.h"

#include <nats/nats.h>

#include <algorithm>
#include <cctype>

namespace vek_nats::detail {
namespace {

constexpr const char* BLANKS = " \t";

// Bounds of the user information of the URL in text[begin, end): [*info, *at) before the
// '@' that ends it. libnats takes the last '@' (a password may hold one), and so do we.
bool find_userinfo(const std::string& text, size_t begin, size_t end, size_t* info, size_t* at) {
    const size_t sep = text.find("://", begin);
    size_t start =
        sep != std::string::npos && sep < end ? sep + 3 : text.find_first_not_of(BLANKS, begin);
    if (start == std::string::npos || start >= end) return false;
    const size_t last_at = text.rfind('@', end - 1);
    if (last_at == std::string::npos || last_at <= start) return false;
    *info = start;
    *at = last_at;
    return true;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

std::vector<std::string> split_url_list(const std::string& urls) {
    std::vector<std::string> list;
    size_t start = 0;
    while (start <= urls.size()) {
        size_t end = std::min(urls.find(',', start), urls.size());
        const size_t first = urls.find_first_not_of(BLANKS, start);
        if (first != std::string::npos && first < end) {
            const size_t last = urls.find_last_not_of(BLANKS, end - 1);
            list.push_back(urls.substr(first, last - first + 1));
        }
        start = end + 1;
    }
    return list;
}

std::string url_scheme(const std::string& url) {
    const size_t sep = url.find("://");
    if (sep == std::string::npos) return "";
    std::string scheme = url.substr(0, sep);
    for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return scheme;
}

std::string decode_url_userinfo(const std::string& url) {
    size_t info = 0, at = 0;
    if (!find_userinfo(url, 0, url.size(), &info, &at)) return url;
    std::string out = url.substr(0, info);
    for (size_t i = info; i < at; ++i) {
        const bool escape = url[i] == '%' && i + 2 < at;
        const int hi = escape ? hex_value(url[i + 1]) : -1;
        const int lo = escape ? hex_value(url[i + 2]) : -1;
        if (hi >= 0 && lo >= 0) {
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else {
            out += url[i];  // a lone '%' stays as written
        }
    }
    return out + url.substr(at);
}

std::string mask_url_secrets(const std::string& text) {
    std::string out;
    size_t begin = 0;
    while (begin <= text.size()) {
        const size_t end = std::min(text.find(',', begin), text.size());
        size_t info = 0, at = 0;
        if (find_userinfo(text, begin, end, &info, &at)) {
            const size_t colon = text.find(':', info);
            const size_t keep = colon < at ? colon + 1 : info;  // the user name stays
            out.append(text, begin, keep - begin).append("***").append(text, at, end - at);
        } else {
            out.append(text, begin, end - begin);
        }
        if (end < text.size()) out += ',';
        begin = end + 1;
    }
    return out;
}

std::string last_nats_error() {
    natsStatus status = NATS_OK;
    const char* text = nats_GetLastError(&status);
    if (status == NATS_OK || text == nullptr || *text == '\0') return "";
    std::string cause = text;
    const size_t origin = cause.find("): ");
    if (cause.front() == '(' && origin != std::string::npos) cause.erase(0, origin + 3);
    return mask_url_secrets(cause);
}

}  // namespace vek_nats::detail
