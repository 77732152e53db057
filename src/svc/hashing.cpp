#include "vek_nats/svc.h"
