#pragma once

// Umbrella header: everything the library offers.
#include "vek_nats/log.h"
#include "vek_nats/publisher.h"
#include "vek_nats/replier.h"
#include "vek_nats/requestor.h"
#include "vek_nats/status.h"
#include "vek_nats/stream.h"
#include "vek_nats/subscriber.h"
#include "vek_nats/svc.h"
#include "vek_nats/text.h"
