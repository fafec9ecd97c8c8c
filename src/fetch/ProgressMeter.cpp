#include "fetch/ProgressMeter.h"

#include <windows.h>

uint64_t MeterAdd(ProgressMeter& meter, int64_t change) {
    return meter.done.fetch_add(static_cast<uint64_t>(change)) + static_cast<uint64_t>(change);
}

bool MeterDue(ProgressMeter& meter, bool force) {
    const uint32_t now = GetTickCount();
    uint32_t previous = meter.lastPublish.load();
    if (force) {
        meter.lastPublish.store(now);
        return true;
    }
    return now - previous >= kPublishEveryMs && meter.lastPublish.compare_exchange_strong(previous, now);
}

int MeterPermille(const ProgressMeter& meter) {
    const uint64_t done = meter.done.load();
    const uint64_t progress = meter.total == 0 ? 1000 : done * 1000 / meter.total;
    return static_cast<int>(static_cast<uint32_t>(progress));
}
