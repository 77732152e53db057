# Request and reply: requestor, replier (queue and synchronous).
vek_add_test(test_requestor test_requestor.cpp)
vek_add_test(test_replier test_replier.cpp)
vek_add_test(test_replier_sync test_replier_sync.cpp)
