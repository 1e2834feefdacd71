#include "agent/flags.h"

#include <ctime>

TORVFlags::TORVFlags() : StartTime(static_cast<int64_t>(time(nullptr))) {}

TORVFlags ORVFlags;
std::mutex thread_mutex;
