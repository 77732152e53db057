#include "vek_nats/replier.h"
