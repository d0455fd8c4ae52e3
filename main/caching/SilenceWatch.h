// SilenceWatch: whether the coherence service stopped hearing its server during a span of work
// (a derived computation, a GetMany), so that what the work took from memory while the service
// still heard may date from before a silence that has lasted the bound by its end. Made at the
// start of the work, asked at its end. Not thread-safe: use from one thread at a time; the
// service must outlive it.
#pragma once

#include "caching/RedisPubsub.h"
#include "velsys/SteadyClock.h"

namespace velmora::caching {

class SilenceWatch {
public:
    // `service` may be null (then no silence ever begins).
    explicit SilenceWatch(const RedisPubsub* service)
        : m_service(service),
          m_startedHearing(!service || service->Hears()),
          m_startNs(SteadyNowNs()) {}

    // True when the service hears nothing now and heard its server at some moment since the
    // start (it was hearing then, or heard it again after).
    bool SilenceBegan() const {
        if (!m_service || m_service->Hears()) return false;
        return m_startedHearing || m_service->LastHeardNs() >= m_startNs;
    }

private:
    const RedisPubsub* const m_service;
    const bool m_startedHearing;
    const long long m_startNs;
};

}  // namespace velmora::caching
