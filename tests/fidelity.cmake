# Every byte, headers, no responders, drain, connection controls and events.
vek_add_test(test_fidelity test_fidelity.cpp)
