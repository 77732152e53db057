// Prints the messages of one subject.
//
//   subscriber <url> <subject> [count] [group]
//
// Each message is printed as "subject: text", with the subject it was published on (the one
// subscribed may hold wildcards, such as "news.>"). With a count other than 0 the program
// stops after that many messages; without one it runs until it is killed. An error that the
// connection reports (the server going away, messages dropped for a slow reader) ends it with
// 1, since messages may have been missed. With a group it joins that queue group: the members
// share the messages, each going to one of them.
#include <cstdio>
#include <cstdlib>

#include "vek_nats/vek_nats.h"

int main(int argc, char** argv) {
    char* rest = nullptr;
    const long count = argc > 3 ? std::strtol(argv[3], &rest, 10) : 0;
    // "subscriber URL news workers" would read the group as count 0 and join no group: a
    // count that is not a whole number is refused instead.
    if (argc < 3 || argc > 5 || count < 0 || (rest != nullptr && *rest != '\0')) {
        std::fprintf(stderr, "usage: %s <url> <subject> [count] [group]\n", argv[0]);
        return 2;
    }
    const char* url = argv[1];
    const char* subject = argv[2];
    const char* group = argc > 4 ? argv[4] : nullptr;

    vek_nats::CNATSSubscriber subscriber;
    vek_nats::svc_status s = subscriber.connect(url, vek_nats::NATSSvcParam{});
    // A null handler sends the messages to the subscriber's own queue, read by recv below. The
    // code tells a failed connect (0x910E0201) from a refused subscription.
    if (s == vek_nats::STATUS_OK)
        s = group != nullptr ? subscriber.subscribe_queue(subject, group)
                             : subscriber.subscribe(subject, nullptr, nullptr);
    if (s != vek_nats::STATUS_OK) {
        std::fprintf(stderr, "subscribe %s on %s: 0x%08X %s\n", subject, url, s,
                     vek_nats::status_text(s));
        return 1;
    }
    std::printf("ready: %s on %s\n", subject, url);
    std::fflush(stdout);

    for (long received = 0; count == 0 || received < count; ++received) {
        vek_nats::NATSSvcMsg msg;
        s = subscriber.recv(subject, msg);
        if (s >= vek_nats::STATUS_CONNECTION_BASE) {
            std::fprintf(stderr, "recv: 0x%08X %s\n", s, vek_nats::status_text(s));
            return 1;
        }
        if (msg.subject.empty()) break;  // woken without a message: the object was destroyed
        std::printf("%s: %s\n", msg.subject.c_str(), msg.data.c_str());
        std::fflush(stdout);
    }
    return 0;
}
