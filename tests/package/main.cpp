// Connects a service object to the server named on the command line; exit 0 on success.
#include <vek_nats/vek_nats.h>

#include <cstdio>

int main(int argc, char** argv) {
    vek_nats::CNATSSvc svc;
    const vek_nats::svc_status s = svc.connect(argc == 2 ? argv[1] : "", vek_nats::NATSSvcParam());
    if (s != vek_nats::STATUS_OK) std::fprintf(stderr, "connect: %s\n", vek_nats::status_text(s));
    return s == vek_nats::STATUS_OK ? 0 : 1;
}
