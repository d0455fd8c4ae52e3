#include <chrono>
#include <string_view>
#include <thread>

#include "caching/CascadeInvalidator.h"
#include "caching/ReadThroughImpl.h"
#include "caching/SilenceWatch.h"
#include "caching/TagScope.h"
#include "velcore/ThreadContext.h"
#include "velcoredata/DateTime.h"
#include "velsys/Exceptions.h"

namespace velmora::caching {

namespace {

thread_local ReadThroughUsage* t_usage = nullptr;

}  // namespace

ReadThroughUsage* SetReadThroughUsageRecorder(ReadThroughUsage* usage) {
    return std::exchange(t_usage, usage);
}

namespace readthrough {

unsigned long long UtcNow() {
    return DateTime::UtcNow().GetRepresentation();
}

}  // namespace readthrough

using namespace readthrough;

void ReadThroughCore::Impl::NoteUsed(unsigned int guid) const {
    if (t_usage) {
        if (guid)
            t_usage->parts.push_back({m_memory, guid});
        else
            t_usage->uncachedPart = true;
    }
    if (guid == 0 || !VelmoraTls::GetThreadContext()) return;
    if (CascadeInvalidatorAggregator* aggregator = CascadeInvalidatorAggregator::TryGetSingleton())
        aggregator->OnEntryUsed(guid, m_memory.get());
}

bool ReadThroughCore::Impl::Expired(const Found& found) {
    return found.expiresAtNs < SteadyNowNs();
}

unsigned long long ReadThroughCore::Impl::LifetimeTicks(unsigned int lifetimeSec) const {
    if (lifetimeSec == 0) return m_lifetimeTicks;
    // Never past the service's horizon: what arrives later than that is not remembered.
    long long seconds = lifetimeSec;
    if (m_service) seconds = std::min(seconds, m_service->ValueLifetimeSec());
    return static_cast<unsigned long long>(std::max(1LL, seconds)) * 1000ULL *
           static_cast<unsigned long long>(DateTimeSpan::kTicksPerMillisecond);
}

ReadThroughCore::Impl::Found ReadThroughCore::Impl::LookInMemory(const std::string& key) {
    Found found;
    if (!m_memory) return found;
    const KeyTable::Slot slot = KeyTable::SlotOf(key);
    found.stripe = ThisThreadsStripe();
    m_memory->Keys().Lookup(slot, key, found.stripe, [&](const HeldValue& held, unsigned int guid) {
        found.value = held.value;
        found.guid = guid;
        found.producedAt = held.producedAt;
        found.loadStartNs = held.loadStartNs;
        found.lifetimeTicks = held.lifetimeTicks;
        found.expiresAtNs = held.expiresAtNs;
        // A load running on this thread was built on this value: it carries its tags too.
        TagScope::NoteRead(held.tags.get());
    });
    if (!found.value) return found;
    if (m_frequency) {
        // Buffered: a hit never waits for the policy.
        m_frequency->RecordHit(slot, found.stripe);
    } else if (!m_memory->TryGetEntry(found.guid)) {
        // A policy of the layer's own hears of the use (and may have let the entry go since).
        return {};
    }
    return found;
}

bool ReadThroughCore::Impl::Deaf() const {
    return m_service && !m_service->Hears();
}

bool ReadThroughCore::Impl::HeldThroughSilence(long long loadStartNs) const {
    if (!m_options.holdDeafLoads || !m_service) return false;
    const long long bound = m_service->SilenceBoundNs();
    return loadStartNs > m_service->LastHeardNs() && SteadyNowNs() - loadStartNs <= bound;
}

std::optional<ReadThroughCore::Result> ReadThroughCore::Impl::AnswerThroughSilence(
    const std::string& key) {
    Found found = LookInMemory(key);
    if (!found.value || !HeldThroughSilence(found.loadStartNs) || Expired(found))
        return std::nullopt;
    ++m_counts.deafHolds;
    m_service->CountSilentAnswer(RedisPubsub::SilentAnswer::Hold);
    NoteUsed(found.guid);
    return Result{
        std::move(found.value), ReadThroughSource::Memory, -1, found.guid, false, false, nullptr};
}

std::optional<ReadThroughCore::Result> ReadThroughCore::Impl::AnswerWithoutLoad(
    const std::string& key, const Loader& loader) {
    // While announcements cannot reach this process, what it holds may have changed unheard;
    // what it loaded during the silence was fresh when loaded and answers for a bounded time,
    // so that an outage does not send every Get to the source.
    if (Deaf()) {
        if (std::optional<Result> held = AnswerThroughSilence(key)) return held;
        ++m_counts.deafLoads;
        m_service->CountSilentAnswer(RedisPubsub::SilentAnswer::Load);
    } else if (Found found = LookInMemory(key); found.value) {
        if (!Expired(found)) {
            m_memoryHits.Add(found.stripe);
            NoteUsed(found.guid);
            MaybeRefreshEarly(key, found, loader);
            return Result{std::move(found.value),
                          ReadThroughSource::Memory,
                          -1,
                          found.guid,
                          false,
                          false,
                          nullptr};
        }
        ++m_counts.expired;
    }
    if (m_failSafe && m_failSafe->IsThrottled(key, SteadyNowNs())) {
        if (std::optional<Result> failSafe = FailSafeAnswer(key))
            return Stale(*failSafe, m_counts.throttled);
    }
    return std::nullopt;
}

std::optional<ReadThroughCore::Result> ReadThroughCore::Impl::AnswerFromMemory(
    const std::string& key) {
    if (!m_memory) return std::nullopt;
    // One reading of a coarse clock, rounded up, for both checks: the silence and the deadline
    // are judged at most a tick early, never late. Anything in doubt goes to Get, which decides
    // with its own readings.
    const long long now = SteadyNowUpperBoundNs();
    if (m_service && !m_service->HearsAt(now)) return std::nullopt;
    Found found = LookInMemory(key);
    if (!found.value || found.expiresAtNs < now || RefreshDue(found)) return std::nullopt;
    m_memoryHits.Add(found.stripe);
    NoteUsed(found.guid);
    return Result{
        std::move(found.value), ReadThroughSource::Memory, -1, found.guid, false, false, nullptr};
}

bool ReadThroughCore::Impl::VisitFromMemory(const std::string& key,
                                            void (*visit)(const void* value, void* context),
                                            void* context) {
    // Only with the built-in policy: a policy of the layer's own hears of a use outside the key
    // table (LookInMemory), and the auditor samples shared answers.
    if (!m_memory || !m_frequency || m_auditor || m_options.eagerRefreshFraction > 0) return false;
    const long long now = SteadyNowUpperBoundNs();  // as AnswerFromMemory
    if (m_service && !m_service->HearsAt(now)) return false;
    const KeyTable::Slot slot = KeyTable::SlotOf(key);
    const unsigned stripe = ThisThreadsStripe();
    unsigned int guid = 0;
    m_memory->Keys().Lookup(slot, key, stripe, [&](const HeldValue& held, unsigned int id) {
        if (held.expiresAtNs < now) return;
        TagScope::NoteRead(held.tags.get());
        guid = id;
        visit(held.value.get(), context);
    });
    if (guid == 0) return false;
    m_frequency->RecordHit(slot, stripe);
    m_memoryHits.Add(stripe);
    NoteUsed(guid);
    return true;
}

std::shared_ptr<ReadThroughCore::Impl::Flight> ReadThroughCore::Impl::JoinFlight(
    const std::string& key, bool& leader) {
    TMutexLock lock(m_flightsMutex);
    auto [it, added] = m_flights.try_emplace(key);
    if (added) it->second = std::make_shared<Flight>();
    leader = added;
    return it->second;
}

ReadThroughCore::Result ReadThroughCore::Impl::Get(const std::string& key, const Loader& loader) {
    if (std::optional<Result> answer = AnswerWithoutLoad(key, loader)) return *answer;
    bool leader = false;
    const std::shared_ptr<Flight> flight = JoinFlight(key, leader);
    return leader ? Lead(key, flight, loader) : Wait(key, *flight, loader);
}

std::vector<ReadThroughCore::Result> ReadThroughCore::Impl::GetMany(
    const std::vector<std::string>& keys, const std::shared_ptr<const KeyLoader>& loader) {
    std::vector<Result> results(keys.size());
    const SilenceWatch silence(m_service.get());
    // A key asked twice is answered once.
    std::unordered_map<std::string_view, std::size_t> firstOf;
    std::vector<std::size_t> distinct;
    for (std::size_t i = 0; i < keys.size(); ++i)
        if (firstOf.try_emplace(keys[i], i).second) distinct.push_back(i);
    const auto loaderOf = [&loader](const std::string& key) -> Loader {
        return [loader, key] { return (*loader)(key); };
    };

    struct Led {
        std::size_t index;
        std::shared_ptr<Flight> flight;
        bool finished = false;
    };
    std::vector<Led> led;
    std::vector<std::size_t> joined;  // keys another thread is loading
    for (const std::size_t i : distinct) {
        if (std::optional<Result> answer = AnswerWithoutLoad(keys[i], loaderOf(keys[i]))) {
            results[i] = std::move(*answer);
            continue;
        }
        bool leader = false;
        std::shared_ptr<Flight> flight = JoinFlight(keys[i], leader);
        if (leader)
            led.push_back({i, std::move(flight)});
        else
            joined.push_back(i);
    }

    // The layers first, for every key this call leads at once: one batch a layer.
    std::exception_ptr firstError;
    const bool looked = !led.empty() && !m_options.layers.empty() && !Deaf();
    if (looked) {
        std::vector<std::string> ledKeys;
        ledKeys.reserve(led.size());
        for (const Led& l : led) ledKeys.push_back(keys[l.index]);
        std::vector<std::optional<Result>> found;
        try {
            found = TryLayersHereMany(ledKeys);
        } catch (...) {
            // What the layers hold is not known: each key loads as a Get would.
            found.assign(led.size(), std::nullopt);
        }
        for (std::size_t k = 0; k < led.size(); ++k) {
            if (!found[k]) continue;
            Finish(ledKeys[k], *led[k].flight, &*found[k], nullptr);
            NoteUsed(found[k]->guid);
            results[led[k].index] = std::move(*found[k]);
            led[k].finished = true;
        }
    }
    // Then one load a key still missing, each under its flight. Another thread's load is only
    // waited for once every flight of this call is finished: two calls over overlapping keys
    // never wait on each other.
    for (Led& l : led) {
        if (l.finished) continue;
        try {
            results[l.index] = Lead(keys[l.index], l.flight, loaderOf(keys[l.index]), looked);
        } catch (...) {
            if (!firstError) firstError = std::current_exception();
        }
    }
    for (const std::size_t i : joined) {
        try {
            results[i] = Get(keys[i], loaderOf(keys[i]));
        } catch (...) {
            if (!firstError) firstError = std::current_exception();
        }
    }
    if (firstError) std::rethrow_exception(firstError);
    // Answers taken from what was held while the service still heard its server may date from
    // before a silence that has outlasted the bound by now (the loads of other keys behind a
    // frozen server's time-out): asked again, as a Get now would answer them.
    if (silence.SilenceBegan())
        for (const std::size_t i : distinct)
            if (results[i].source != ReadThroughSource::Loader)
                results[i] = Get(keys[i], loaderOf(keys[i]));
    for (std::size_t i = 0; i < keys.size(); ++i)
        if (const std::size_t first = firstOf.at(keys[i]); first != i) results[i] = results[first];
    return results;
}

ReadThroughCore::Result ReadThroughCore::Impl::TryGet(const std::string& key) {
    if (Deaf()) {
        // As Get: only what was loaded during this silence answers, and the layers are left
        // alone.
        if (std::optional<Result> held = AnswerThroughSilence(key)) return *held;
        ++m_counts.tryMisses;
        return {};
    }
    if (Found found = LookInMemory(key); found.value) {
        if (!Expired(found)) {
            m_memoryHits.Add(found.stripe);
            NoteUsed(found.guid);
            return {std::move(found.value),
                    ReadThroughSource::Memory,
                    -1,
                    found.guid,
                    false,
                    false,
                    nullptr};
        }
        ++m_counts.expired;
    }
    if (std::optional<Result> found = TryLayersHere(key)) {
        NoteUsed(found->guid);
        return *found;
    }
    ++m_counts.tryMisses;
    return {};
}

ReadThroughCore::Result ReadThroughCore::Impl::Wait(const std::string& key, Flight& flight,
                                                    const Loader& loader) {
    const std::optional<Result> failSafe = FailSafeAnswer(key);
    const unsigned int quick =
        m_options.softTimeoutMs ? m_options.softTimeoutMs : m_options.hardTimeoutMs;
    const unsigned int waitMs =
        failSafe && quick ? std::min(quick, m_options.loadWaitMs) : m_options.loadWaitMs;
    // The time-outs run from the load's start: a caller joining a load that has run long
    // already does not wait the whole time-out again.
    const auto until = flight.started + std::chrono::milliseconds(waitMs);
    std::unique_lock<std::mutex> lock(flight.mutex);
    if (flight.done.wait_until(lock, until, [&] { return flight.finished; })) {
        ++m_counts.coalescedWaits;
        if (flight.error) {
            const std::exception_ptr error = flight.error;
            lock.unlock();
            // Asked again: the key may have been announced as changed while this Get waited.
            if (std::optional<Result> still = FailSafeAnswer(key))
                return Stale(*still, m_counts.failSafeAnswers);
            std::rethrow_exception(error);
        }
        if (flight.raced) {
            // A change arrived while the flight loaded, perhaps before this Get began: its
            // answer may not show that change. Asked again, as a Get now would; a key that keeps
            // changing faster than it loads is then loaded by this thread itself, once.
            lock.unlock();
            thread_local int asking = 0;
            if (asking > 0) {
                Result own = LoadAndFill(key, loader, false);
                NoteUsed(own.guid);
                return own;
            }
            ++asking;
            struct Done {
                int& count;
                ~Done() { --count; }
            } done{asking};
            return Get(key, loader);
        }
        Result shared = flight.result;
        lock.unlock();
        shared.coalesced = true;
        NoteUsed(shared.guid);
        return shared;
    }
    lock.unlock();
    if (failSafe) {
        // Asked again: the service may have stopped hearing its server while this Get waited,
        // and then nothing held from before the silence answers; the load is waited for.
        if (std::optional<Result> still = FailSafeAnswer(key))
            return Stale(*still,
                         m_options.softTimeoutMs ? m_counts.softTimeouts : m_counts.hardTimeouts);
        return Wait(key, flight, loader);
    }
    ++m_counts.waitTimeouts;
    Result own = LoadAndFill(key, loader, false);
    NoteUsed(own.guid);
    return own;
}

ReadThroughCore::Result ReadThroughCore::Impl::Lead(const std::string& key,
                                                    const std::shared_ptr<Flight>& flight,
                                                    const Loader& loader, bool layersLooked) {
    const std::optional<Result> failSafe = FailSafeAnswer(key);
    const unsigned int quick =
        m_options.softTimeoutMs ? m_options.softTimeoutMs : m_options.hardTimeoutMs;
    if (failSafe && quick) {
        // The layers first, on this thread: each read has a time-out of its own, and a hit
        // there costs far less than handing the load to another thread and waiting for it to
        // be scheduled (on a busy machine, ten times the read). Only the loader is timed here.
        bool layersFailed = false;
        try {
            if (std::optional<Result> found = layersLooked ? std::nullopt : TryLayersHere(key)) {
                Finish(key, *flight, &*found, nullptr);
                NoteUsed(found->guid);
                return *found;
            }
        } catch (...) {
            Finish(key, *flight, nullptr, std::current_exception());
            // Asked again after the layers' time-outs, as below; without it, the source answers
            // (a layer's failure is no answer for the caller).
            if (std::optional<Result> still = FailSafeAnswer(key))
                return Stale(*still, m_counts.failSafeAnswers);
            layersFailed = true;
        }
        if (layersFailed) {
            Result own = LoadAndFill(key, loader, false);
            NoteUsed(own.guid);
            return own;
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(quick);
        const bool started = StartBackground(
            [self = shared_from_this(), key, flight, loader] {
                try {
                    self->RunFlight(key, *flight, loader, true);
                } catch (...) {
                    // Its waiters have heard of it.
                }
            },
            quick);
        if (!started) {
            // Every slot stayed busy (a slow or stalled source): running the load here would
            // hold this caller for all of it. Its waiters answer with the fail-safe value too.
            Finish(key, *flight, nullptr,
                   std::make_exception_ptr(VelmoraException("every background load is busy")));
            if (std::optional<Result> still = FailSafeAnswer(key))
                return Stale(*still, m_counts.backgroundFull);
            Result own = LoadAndFill(key, loader, false);
            NoteUsed(own.guid);
            return own;
        }
        // The fail-safe value is asked again whenever it is to answer: the service may have
        // stopped hearing its server since (the layers waited on a frozen one, say), and then
        // nothing held from before the silence answers.
        std::unique_lock<std::mutex> lock(flight->mutex);
        if (!flight->done.wait_until(lock, deadline, [&] { return flight->finished; })) {
            lock.unlock();
            if (std::optional<Result> still = FailSafeAnswer(key))
                return Stale(*still, m_options.softTimeoutMs ? m_counts.softTimeouts
                                                             : m_counts.hardTimeouts);
            return Wait(key, *flight, loader);
        }
        if (flight->error) {
            const std::exception_ptr error = flight->error;
            lock.unlock();
            if (std::optional<Result> still = FailSafeAnswer(key))
                return Stale(*still, m_counts.failSafeAnswers);
            std::rethrow_exception(error);
        }
        Result result = flight->result;
        lock.unlock();
        NoteUsed(result.guid);
        return result;
    }
    try {
        Result result = RunFlight(key, *flight, loader, layersLooked);
        NoteUsed(result.guid);
        return result;
    } catch (...) {
        // Asked again, not taken from before the load: the key may have been announced as
        // changed while it ran.
        if (std::optional<Result> still = FailSafeAnswer(key))
            return Stale(*still, m_counts.failSafeAnswers);
        throw;
    }
}

ReadThroughCore::Result ReadThroughCore::Impl::RunFlight(const std::string& key, Flight& flight,
                                                         const Loader& loader, bool layersLooked) {
    Result result;
    try {
        t_fillRaced = false;
        result = LoadAndFill(key, loader, false, layersLooked);
    } catch (...) {
        if (m_failSafe) {
            const long long now = SteadyNowNs();
            m_failSafe->Throttle(
                key, now, now + static_cast<long long>(m_options.failSafeThrottleMs) * 1000000LL);
        }
        Finish(key, flight, nullptr, std::current_exception());
        throw;
    }
    Finish(key, flight, &result, nullptr, std::exchange(t_fillRaced, false));
    return result;
}

void ReadThroughCore::Impl::Finish(const std::string& key, Flight& flight, const Result* result,
                                   std::exception_ptr error, bool raced) {
    {
        TMutexLock lock(m_flightsMutex);
        m_flights.erase(key);
    }
    std::lock_guard<std::mutex> lock(flight.mutex);
    if (result) flight.result = *result;
    flight.raced = raced;
    flight.error = std::move(error);
    flight.finished = true;
    flight.done.notify_all();
}

std::optional<ReadThroughCore::Result> ReadThroughCore::Impl::FailSafeAnswer(
    const std::string& key) const {
    if (!m_failSafe) return std::nullopt;
    const std::optional<FailSafeStore::Copy> copy = m_failSafe->Find(key);
    if (!copy) return std::nullopt;
    const unsigned long long maxAge =
        static_cast<unsigned long long>(m_options.failSafeMaxAgeSec) * 1000ULL *
        static_cast<unsigned long long>(DateTimeSpan::kTicksPerMillisecond);
    if (copy->producedAt + maxAge < UtcNow()) return std::nullopt;
    // While the service hears nothing, a change may have been announced that did not arrive.
    if (!m_options.failSafeAfterChange && m_service &&
        (Deaf() || !m_service->MayServe(KeyHash(key), copy->hash, copy->producedAt)))
        return std::nullopt;
    // A tag of the copy invalidated since is a change announced too.
    if (!m_options.failSafeAfterChange && copy->tags && m_tags &&
        !m_tags->MayServe(m_options.name, *copy->tags))
        return std::nullopt;
    return Result{copy->value, ReadThroughSource::FailSafe, -1, 0, false, true, nullptr};
}

ReadThroughCore::Result ReadThroughCore::Impl::Stale(const Result& failSafe,
                                                     std::atomic<long long>& cause) {
    if (&cause != &m_counts.failSafeAnswers) ++cause;
    ++m_counts.failSafeAnswers;
    if (Deaf()) m_service->CountSilentAnswer(RedisPubsub::SilentAnswer::FailSafe);
    NoteUsed(0);  // nothing tracks a stale answer: a derived result does not keep it
    return failSafe;
}

bool ReadThroughCore::Impl::StartBackground(std::function<void()> work, unsigned int waitMs) {
    {
        Background& background = *m_background;
        const int most = static_cast<int>(std::max(1u, m_options.maxBackgroundLoads));
        TMutexLock lock(background.mutex);
        if (!background.done.wait_for(lock.Native(), std::chrono::milliseconds(waitMs),
                                      [&background, most]() VEL_REQUIRES(background.mutex) {
                                          return background.running < most;
                                      }))
            return false;
        ++background.running;
    }
    std::thread([background = m_background, work = std::move(work)]() mutable {
        work();
        work = nullptr;  // lets go of the engine (the work holds it) before counting itself done
        TMutexLock lock(background->mutex);
        --background->running;
        background->done.notify_all();
    }).detach();
    return true;
}

void ReadThroughCore::Impl::WaitForBackground() {
    Background& background = *m_background;
    TMutexLock lock(background.mutex);
    background.done.wait(lock.Native(), [&background]() VEL_REQUIRES(background.mutex) {
        return background.running == 0;
    });
}

bool ReadThroughCore::Impl::RefreshDue(const Found& found) const {
    if (m_options.eagerRefreshFraction <= 0) return false;
    const unsigned long long now = UtcNow();
    const auto age = static_cast<double>(now - std::min(found.producedAt, now));
    return age >= m_options.eagerRefreshFraction * static_cast<double>(found.lifetimeTicks);
}

void ReadThroughCore::Impl::MaybeRefreshEarly(const std::string& key, const Found& found,
                                              const Loader& loader) {
    if (!RefreshDue(found)) return;
    {
        TMutexLock lock(m_backgroundMutex);
        if (!m_refreshing.insert(key).second) return;  // one refresh at a time per key
    }
    const bool started = StartBackground([self = shared_from_this(), key, loader] {
        try {
            self->LoadAndFill(key, loader, true);
        } catch (...) {
            // The entry stays until its lifetime ends; the next Get after that loads.
        }
        TMutexLock lock(self->m_backgroundMutex);
        self->m_refreshing.erase(key);
    });
    if (started) {
        ++m_counts.eagerRefreshes;
    } else {
        TMutexLock lock(m_backgroundMutex);
        m_refreshing.erase(key);
    }
}

}  // namespace velmora::caching
