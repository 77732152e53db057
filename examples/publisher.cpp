// Publishes messages on one subject.
//
//   publisher <url> <subject> [text...]
//
// Each text after the subject is sent as one message; without any, each line of standard input
// is (without its newline), until the input ends. Publishing is fire and forget: a message
// written while the connection is down waits in the client's reconnect buffer and may never
// leave it. So the program flushes before it exits, and fails unless the server confirms that
// it has processed everything sent.
#include <cstdio>
#include <iostream>
#include <string>

#include "vek_nats/vek_nats.h"

namespace {

// The next text to send: the next argument after the subject, or, when there were none, the
// next line of standard input, read only when needed so that a pipe is published as it flows.
bool next_text(int argc, char** argv, int& index, std::string& text) {
    if (argc <= 3) return static_cast<bool>(std::getline(std::cin, text));
    if (index >= argc) return false;
    text = argv[index++];
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <url> <subject> [text...]\n", argv[0]);
        return 2;
    }
    const char* url = argv[1];
    const char* subject = argv[2];

    vek_nats::CNATSPublisher publisher;
    vek_nats::svc_status s = publisher.connect(url, vek_nats::NATSSvcParam{});
    if (s != vek_nats::STATUS_OK) {
        std::fprintf(stderr, "connect %s: 0x%08X %s\n", url, s, vek_nats::status_text(s));
        return 1;
    }
    long sent = 0;
    int index = 3;
    for (std::string text; next_text(argc, argv, index, text); ++sent) {
        s = publisher.publish_string(subject, text.c_str());
        if (s != vek_nats::STATUS_OK) {
            std::fprintf(stderr, "publish %s: 0x%08X %s\n", subject, s, vek_nats::status_text(s));
            return 1;
        }
    }
    s = publisher.flush(5000);
    if (s != vek_nats::STATUS_OK) {
        std::fprintf(stderr, "flush after %ld message(s): 0x%08X %s\n", sent, s,
                     vek_nats::status_text(s));
        return 1;
    }
    std::printf("published: %ld on %s\n", sent, subject);
    return 0;
}
