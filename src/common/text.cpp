#include "vek_nats/text.h"
