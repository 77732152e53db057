#include "vek_nats/requestor.h"
