#include "waits.h"

#include <algorithm>
#include <atomic>
#include <cmath>

namespace {
std::atomic<double> long_wait_scale{1.0};
constexpr int kLongWaitMs = 1000;
}  // namespace

int Waits::Long(int ms)
{
    if (ms < kLongWaitMs)
        return ms;
    return int(std::lround(ms * long_wait_scale.load()));
}

void Waits::SetLongWaitScale(double scale)
{
    long_wait_scale = scale;
}

int Waits::NoReplyLimit()
{
    return std::max(Long(kNoReplyLimitMs), kNoReplyFloorMs);
}

double Waits::LongWaitScale()
{
    return long_wait_scale;
}
