// Answers requests on one subject.
//
//   replier <url> <subject> [count] [group]
//
// Every request is answered with "echo: " followed by its text. With a count other than 0 the
// program stops after that many requests; without one it serves until it is killed. A plain
// message (published without a reply subject) is reported on standard error and skipped. With
// a group it shares the requests with the other members of that queue group, each request
// going to one of them, and its answers end in " (replier <pid>)" to tell the members apart.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "vek_nats/vek_nats.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <url> <subject> [count] [group]\n", argv[0]);
        return 2;
    }
    const char* url = argv[1];
    const char* subject = argv[2];
    const long count = argc > 3 ? std::strtol(argv[3], nullptr, 10) : 0;
    const char* group = argc > 4 ? argv[4] : nullptr;
    const std::string signature =
        group != nullptr ? " (replier " + std::to_string(getpid()) + ")" : "";

    vek_nats::CNATSReplier replier;
    vek_nats::NATSSvcParam param;
    vek_nats::svc_status s = replier.connect(url, param);
    if (s != vek_nats::STATUS_OK) {
        std::fprintf(stderr, "connect %s: 0x%08X %s\n", url, s, vek_nats::status_text(s));
        return 1;
    }
    // A null handler sends the requests to the replier's own queue, read by recv below.
    s = group != nullptr ? replier.subscribe_queue(subject, group)
                         : replier.subscribe(subject, nullptr, nullptr);
    if (s != vek_nats::STATUS_OK) {
        std::fprintf(stderr, "subscribe %s: 0x%08X %s\n", subject, s, vek_nats::status_text(s));
        return 1;
    }
    std::printf("ready: %s on %s%s\n", subject, url, signature.c_str());
    std::fflush(stdout);

    for (long served = 0; count == 0 || served < count;) {
        vek_nats::NATSSvcMsg msg;
        // recv returns the payload length, or a code of 0x910E0700 and above when the
        // connection reported an error.
        s = replier.recv(subject, msg);
        if (s >= vek_nats::STATUS_CONNECTION_BASE) {
            std::fprintf(stderr, "recv: 0x%08X\n", s);
            return 1;
        }
        if (msg.subject.empty()) break;  // woken without a message: the object was destroyed
        // A plain message (published, not requested) has nobody to answer: skip it.
        if (msg.inbox.empty()) {
            std::fprintf(stderr, "skipped: a message without reply subject on %s\n",
                         msg.subject.c_str());
            continue;
        }
        ++served;
        std::printf("request: %s\n", msg.data.c_str());
        std::fflush(stdout);

        msg.reply_data = "echo: " + msg.data + signature;
        s = replier.reply(subject, msg);
        if (s != vek_nats::STATUS_OK) {
            std::fprintf(stderr, "reply: 0x%08X %s\n", s, vek_nats::status_text(s));
            return 1;
        }
    }
    return 0;
}
