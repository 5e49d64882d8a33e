// The globals shared by the event handler and the event thread (see
// event_record.h).
#include "tracking/event_record.h"

HANDLE driverHandle = nullptr;
std::atomic<int> running{1};
