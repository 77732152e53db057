#include "internal/urls.h"

#include <nats/nats.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace vek_nats::detail {
namespace {

constexpr const char* BLANKS = " \t";
constexpr size_t NONE = std::string::npos;

// One URL of a text: text[begin, end), blanks cut off; its user information text[info, at)
// (at == NONE when it has none).
struct url_span {
    size_t begin, end, info, at;
};

// The length of the "scheme://" that text[pos, end) begins with; 0 when it begins with none.
size_t scheme_length(const std::string& text, size_t pos, size_t end) {
    if (pos >= end || !std::isalpha(static_cast<unsigned char>(text[pos]))) return 0;
    size_t i = pos + 1;
    while (i < end && (std::isalnum(static_cast<unsigned char>(text[i])) ||
                       std::strchr("+-.", text[i]) != nullptr)) {
        ++i;
    }
    return i + 3 <= end && text.compare(i, 3, "://") == 0 ? i + 3 - pos : 0;
}

// User information: text[info, at); at == NONE when there is none.
struct userinfo {
    size_t info, at;
};

// The user information of the URL that begins at text[first] (NONE: an empty one) and ends
// before text[end]: after its "scheme://", up to its last '@' (libnats takes the last one,
// since a password may hold '@'). An empty one counts as none.
userinfo userinfo_of(const std::string& text, size_t first, size_t end) {
    const size_t info = first + scheme_length(text, first, end);
    const size_t at = first < end ? text.rfind('@', end - 1) : NONE;
    return {info, at != NONE && at > info ? at : NONE};
}

// Appends the URLs of text[pos, end), blanks cut off, to `urls`; `user` marks the user
// information of the one that holds it.
void add_urls(const std::string& text, size_t pos, size_t end, userinfo user,
              std::vector<url_span>* urls) {
    const auto [info, at] = user;
    while (pos <= end) {
        // Commas before the '@' belong to the user information; after it they separate URLs.
        const size_t stop = std::min(text.find(',', at != NONE && pos <= at ? at : pos), end);
        const size_t first = text.find_first_not_of(BLANKS, pos);
        if (first < stop) {
            const size_t last = text.find_last_not_of(BLANKS, stop - 1);
            const bool holds = at != NONE && first <= info && at < stop;
            urls->push_back({first, last + 1, holds ? info : NONE, holds ? at : NONE});
        }
        pos = stop + 1;
    }
}

// The URLs of a text by the rule of urls.h: a comma followed by "scheme://" starts a new
// stretch; in each stretch the first URL's user information runs to the stretch's last '@'.
std::vector<url_span> scan(const std::string& text) {
    std::vector<size_t> starts{0};
    for (size_t comma = text.find(','); comma != NONE; comma = text.find(',', comma + 1)) {
        const size_t next = text.find_first_not_of(BLANKS, comma + 1);
        if (next != NONE && scheme_length(text, next, text.size()) > 0) starts.push_back(comma + 1);
    }
    std::vector<url_span> urls;
    for (size_t k = 0; k < starts.size(); ++k) {
        const size_t end = k + 1 < starts.size() ? starts[k + 1] - 1 : text.size();
        const size_t first = text.find_first_not_of(BLANKS, starts[k]);
        add_urls(text, starts[k], end, userinfo_of(text, first, end), &urls);
    }
    return urls;
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
    for (const url_span& url : scan(urls))
        list.push_back(urls.substr(url.begin, url.end - url.begin));
    return list;
}

std::string url_scheme(const std::string& url) {
    const size_t first = url.find_first_not_of(BLANKS);
    const size_t length = scheme_length(url, first, url.size());
    std::string scheme = length == 0 ? "" : url.substr(first, length - 3);
    for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return scheme;
}

bool url_userinfo(const std::string& url, std::string* info) {
    const auto [begin, at] = userinfo_of(url, url.find_first_not_of(BLANKS), url.size());
    if (at == NONE) return false;
    info->clear();
    for (size_t i = begin; i < at; ++i) {
        const bool escape = url[i] == '%' && i + 2 < at;
        const int hi = escape ? hex_value(url[i + 1]) : -1;
        const int lo = escape ? hex_value(url[i + 2]) : -1;
        if (hi >= 0 && lo >= 0) {
            *info += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else {
            *info += url[i];
        }
    }
    return true;
}

std::string with_userinfo(const std::string& url, const std::string& info) {
    const auto [begin, at] = userinfo_of(url, url.find_first_not_of(BLANKS), url.size());
    if (at != NONE) return url.substr(0, begin) + info + url.substr(at);
    const size_t end = std::min(begin, url.size());  // after the scheme
    return url.substr(0, end) + info + "@" + url.substr(end);
}

std::string mask_url_secrets(const std::string& text) {
    std::string out;
    size_t done = 0;
    for (const url_span& url : scan(text)) {
        if (url.at == NONE) continue;
        out.append(text, done, url.info - done).append("***");
        done = url.at;
    }
    return out.append(text, done, NONE);
}

std::string last_nats_error() {
    natsStatus status = NATS_OK;
    const char* text = nats_GetLastError(&status);
    if (status == NATS_OK || text == nullptr || *text == '\0') return "";
    std::string cause = text;
    const size_t origin = cause.find("): ");
    if (cause.front() == '(' && origin != NONE) cause.erase(0, origin + 3);
    return mask_url_secrets(cause);
}

}  // namespace vek_nats::detail
