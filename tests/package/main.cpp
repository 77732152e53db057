// Connects a service object to the server named on the command line; exit 0 on success.
#include <vek_nats/vek_nats.h>

int main(int argc, char** argv) {
    vek_nats::CNATSSvc svc;
    const auto s = svc.connect(argc == 2 ? argv[1] : "", vek_nats::NATSSvcParam());
    return s == vek_nats::STATUS_OK ? 0 : 1;
}
