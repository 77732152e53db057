#include "internal/write_bound.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace vek_nats::detail {

namespace {

// True when `fd` is a stream socket bound to `ip`:`port` and connected.
bool bound_to(int fd, const std::string& ip, int port) {
    int type = 0;
    socklen_t type_len = sizeof type;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &type_len) != 0 || type != SOCK_STREAM)
        return false;
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return false;
    char text[INET6_ADDRSTRLEN] = "";
    int bound_port = -1;
    if (addr.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(addr);
        inet_ntop(AF_INET, &in.sin_addr, text, sizeof text);
        bound_port = ntohs(in.sin_port);
    } else if (addr.ss_family == AF_INET6) {
        const auto& in = reinterpret_cast<const sockaddr_in6&>(addr);
        inet_ntop(AF_INET6, &in.sin6_addr, text, sizeof text);
        bound_port = ntohs(in.sin6_port);
    }
    sockaddr_storage peer{};
    socklen_t peer_len = sizeof peer;
    return bound_port == port && ip == text &&
           getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_len) == 0;
}

}  // namespace

bool block_reads(natsConnection* nc, std::int64_t deadline_ms) {
    if (deadline_ms <= 0) return false;  // libnats left its socket blocking
    char* local = nullptr;
    int port = 0;
    if (natsConnection_GetLocalIPAndPort(nc, &local, &port) != NATS_OK) return false;
    const std::string ip = local;
    std::free(local);
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return false;
    int found = -1;
    int matches = 0;
    while (const dirent* entry = readdir(dir)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd == dirfd(dir)) continue;
        if (bound_to(static_cast<int>(fd), ip, port)) {
            found = static_cast<int>(fd);
            ++matches;
        }
    }
    closedir(dir);
    if (matches != 1) return false;
    // The send bound first: the socket is never blocking without it.
    timeval bound{};
    bound.tv_sec = static_cast<time_t>(deadline_ms / 1000);
    bound.tv_usec = static_cast<suseconds_t>(deadline_ms % 1000 * 1000);
    if (setsockopt(found, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound) != 0) return false;
    const int flags = fcntl(found, F_GETFL);
    return flags != -1 && fcntl(found, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

}  // namespace vek_nats::detail
