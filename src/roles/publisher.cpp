#include "vek_nats/publisher.h"
