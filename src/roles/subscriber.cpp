#include "vek_nats/subscriber.h"
