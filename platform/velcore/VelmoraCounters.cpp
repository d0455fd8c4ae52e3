#include "velcore/VelmoraCounters.h"

std::atomic<long long> VelmoraCounters::RedisPubsubWastedMessages{0};
std::atomic<long long> VelmoraCounters::RedisPubsubSavedMessages{0};
std::atomic<long long> VelmoraCounters::RedisPubsubPlaceholderSize{0};
