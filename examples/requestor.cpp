// Sends one request and prints the answer.
//
//   requestor <url> <subject> <text> [timeout-ms]
#include <cstdio>
#include <cstdlib>

#include "vek_nats/vek_nats.h"

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s <url> <subject> <text> [timeout-ms]\n", argv[0]);
        return 2;
    }
    const char* url = argv[1];
    const char* subject = argv[2];
    const char* text = argv[3];

    vek_nats::NATSSvcParam param;
    if (argc > 4) param.request_timeout = std::strtoll(argv[4], nullptr, 10);

    vek_nats::CNATSRequestor requestor;
    vek_nats::svc_status s = requestor.connect(url, param);
    if (s != vek_nats::STATUS_OK) {
        std::fprintf(stderr, "connect %s: 0x%08X %s\n", url, s, vek_nats::status_text(s));
        return 1;
    }
    vek_nats::NATSSvcMsg answer;
    // Waits up to param.request_timeout; no replier on the subject fails at once.
    s = requestor.request_string(subject, text, answer);
    if (s != vek_nats::STATUS_OK) {
        std::fprintf(stderr, "request %s: 0x%08X %s\n", subject, s, vek_nats::status_text(s));
        return 1;
    }
    std::printf("%s\n", answer.data.c_str());
    return 0;
}
