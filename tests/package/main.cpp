// Connects a service object to the server named on the command line; exit 0 on success.
#include <vek_nats/vek_nats.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: consumer URL\n");
        return 2;
    }
    vek_nats::CNATSSvc svc;
    const vek_nats::svc_status s = svc.connect(argv[1], vek_nats::NATSSvcParam());
    if (s != vek_nats::STATUS_OK) {
        std::fprintf(stderr, "connect: 0x%08X %s\n", s, vek_nats::status_text(s));
        return 1;
    }
    return 0;
}
