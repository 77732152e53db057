#pragma once

// Shared by the service core and messaging tests: a private server and log, hand-made
// deliveries, and blocking calls run on a thread of their own.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <functional>
#include <future>
#include <string>

#include "support/harness.h"

namespace core_test {

using namespace std::chrono_literals;
using namespace vek_nats;
using vek_test::Peek;

inline std::string format(const char* fmt, ...) {
    char buf[1024];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    return buf;
}

// "(%u - %s)" of a NATS status, as error records show it.
inline std::string nats_part(natsStatus s) {
    return format("(%u - %s)", static_cast<unsigned>(s), natsStatus_GetText(s));
}

// Hands a message to a role's delivery path as libnats would, without a server.
template <class Role>
void deliver(Role& role, const char* subject, const std::string& payload,
             const char* reply = nullptr) {
    ASSERT_EQ(NATS_OK, nats_Open(-1));
    natsMsg* msg = nullptr;
    ASSERT_EQ(NATS_OK, natsMsg_Create(&msg, subject, reply, payload.data(),
                                      static_cast<int>(payload.size())));
    Role::onMsg_callback_wrapper(nullptr, nullptr, msg, &role);
}

class Core : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.start()); }
    void connect(CNATSSvc& obj) { ASSERT_EQ(0u, obj.connect(server.url().c_str(), param)); }
    void connect(std::initializer_list<CNATSSvc*> objs) {
        for (CNATSSvc* obj : objs) connect(*obj);
    }
    static bool queued(CNATSSvc& obj, size_t n) {
        return vek_test::wait_until([&] { return obj.queued() == n; }, 5s);
    }
    size_t count(const std::string& func, const std::string& rest) const {
        size_t n = 0;
        for (const std::string& r : log.lines(func)) n += r == rest ? 1 : 0;
        return n;
    }

    vek_test::LogSandbox log;  // first: outlives everything that may log
    vek_test::NatsServer server;
    NATSSvcParam param;
};

// A call that may block, on a thread of its own; tests that make one set a Watchdog, since
// the future's destructor waits for it.
inline std::future<svc_status> start(std::function<svc_status()> call) {
    return std::async(std::launch::async, std::move(call));
}
inline bool done(std::future<svc_status>& call, std::chrono::milliseconds within = 5s) {
    return call.wait_for(within) == std::future_status::ready;
}

}  // namespace core_test
