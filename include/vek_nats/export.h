#pragma once

// Symbols of the library are hidden unless marked; the public API is marked here.
#define VEK_NATS_API __attribute__((visibility("default")))
