// Fuzz target: a coherence announcement as the service receives it. The input is the channel
// after the namespace, a newline, then the message bytes. Before each delivery a fresh test
// instance files records of two caches: under the channel's key hash when it reads as one
// (content older and newer than the message, the message's own content, unknown content, an
// evicted record and a waiting removal) and under another key hash. Then:
//  - a malformed announcement raises only the LogicException its parser documents
//    ("parts.size() == 2", "split.size() == 2"); any other exception ends the run;
//  - the tables keep their invariants (GetTrackingCountsTestOnly checks them);
//  - every record that left the tables was reported, to the invalidator, as dirty (or as
//    pruned), and records of another key hash and of the message's own content stay.
#include <optional>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "caching/CascadeInvalidator.h"
#include "caching/CascadeInvalidatorHolder.h"
#include "caching/CoherenceMessages.h"
#include "caching/RedisPubsub.h"
#include "caching/RedisPubsubTestDoubles.h"
#include "velsys/Exceptions.h"

using namespace velmora::caching;

namespace {

const TString kNamespace("fz.");
const HashPair kOtherKey{0x12, 0x34};

struct World {
    veltest::LoopbackManager manager;
    World() { velfuzz::QuietHost(); }
};

// Installs an invalidator for one run.
class Installed {
public:
    explicit Installed(ICascadeInvalidator& invalidator) {
        m_holder.ResetForTest();
        m_holder.Initialize({&invalidator, nullptr, nullptr, nullptr});  // one per kind
    }
    ~Installed() { m_holder.ResetForTest(); }

private:
    ICascadeInvalidatorHolder& m_holder = CascadeInvalidatorHolderFactory::GetInstance();
};

bool IsDocumentedMalformed(const velmora::LogicException& e) {
    const std::string expression = e.GetExpression();
    return expression == "parts.size() == 2" || expression == "split.size() == 2";
}

// The key hash the service reads from `channel` (the first non-empty piece between
// occurrences of the namespace), when it reads as one.
std::optional<HashPair> KeyOf(const TString& channel) {
    for (const TString& piece : channel.split(kNamespace)) {
        if (piece.isEmpty()) continue;
        try {
            return ParseHashPair(piece);
        } catch (const velmora::LogicException&) {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

std::size_t Count(const std::vector<veltest::Call>& calls) {
    std::size_t n = 0;
    for (const auto& call : calls) n += call.first.size();
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static World world;
    if (size > 4096) return -1;  // longer channels and messages read the same way
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::size_t newline = input.find('\n');
    if (newline == std::string::npos) return -1;
    const TString channel = kNamespace + TString::fromStdString(input.substr(0, newline));
    const std::string message = input.substr(newline + 1);

    veltest::RecordingInvalidator invalidator;
    const Installed installed(invalidator);
    bool loop = true;
    auto service = RedisPubsub::CreateTestInstance(kNamespace, world.manager,
                                                   [&](const TString& c, const TString& m) {
                                                       if (loop) world.manager.Publish(c, m);
                                                   });
    auto a = std::make_shared<veltest::RecordingCache>();
    auto b = std::make_shared<veltest::RecordingCache>();

    // The message as the public parser reads it, to file records around it.
    std::optional<std::pair<HashPair, unsigned long long>> parsed;
    try {
        parsed = ParseMessage(TString::fromStdString(message));
        // Formatting and parsing again gives the same announcement.
        const auto again = ParseMessage(FormatCoherenceMessage(parsed->first, parsed->second));
        VELFUZZ_CHECK(again == *parsed);
    } catch (const velmora::LogicException& e) {
        if (!IsDocumentedMalformed(e)) throw;
    }
    const HashPair sameContent = parsed ? parsed->first : HashPair{3, 4};
    const unsigned long long at = parsed ? parsed->second : 1000;
    const std::optional<HashPair> key = KeyOf(channel);
    if (key) {
        service->OnAdded(*key, {1, 2}, 0, 1, a);
        service->OnAdded(*key, sameContent, at - 1, 2, a);
        service->OnAdded(*key, {0, 0}, at + 1, 3, b);
        service->OnAdded(*key, {5, 6}, 1, 4, b);
        service->OnRemoved({4, 9}, b);  // 4 evicted, 9 waits for its addition
    }
    service->OnAdded(kOtherKey, {1, 2}, 0, 5, a);
    loop = false;
    const RedisPubsub::TrackingCounts before = service->GetTrackingCountsTestOnly();
    const std::size_t dirtyBefore = invalidator.dirty.Get().size();
    const std::size_t prunedBefore = invalidator.evicted.Get().size();

    try {
        world.manager.Deliver(channel, message);
    } catch (const velmora::LogicException& e) {
        if (!IsDocumentedMalformed(e)) throw;
        // A malformed announcement changes nothing.
        const RedisPubsub::TrackingCounts after = service->GetTrackingCountsTestOnly();
        VELFUZZ_CHECK(after.records == before.records);
        VELFUZZ_CHECK(invalidator.dirty.Get().size() == dirtyBefore);
    }
    const RedisPubsub::TrackingCounts after = service->GetTrackingCountsTestOnly();
    const std::vector<veltest::Call> allDirty = invalidator.dirty.Get();
    const std::vector<veltest::Call> allPruned = invalidator.evicted.Get();
    const std::vector<veltest::Call> dirty(allDirty.begin() + std::ptrdiff_t(dirtyBefore),
                                           allDirty.end());
    const std::vector<veltest::Call> pruned(allPruned.begin() + std::ptrdiff_t(prunedBefore),
                                            allPruned.end());
    VELFUZZ_CHECK(before.records - after.records == Count(dirty) + Count(pruned));
    for (const auto& [guids, cache] : dirty) {
        for (unsigned guid : guids) {
            VELFUZZ_CHECK(guid != 5);                                     // another key hash
            if (sameContent != HashPair{0, 0}) VELFUZZ_CHECK(guid != 2);  // the same content
        }
    }
    service->OnRemoved(*a);
    service->OnRemoved(*b);
    service.reset();
    world.manager.unsubscribed.clear();  // the manager outlives the runs: keep it from growing
    return 0;
}
