#include "ResultCache.h"

#include <algorithm>

#include "QueryRunner.h"

using namespace velmora::caching;

namespace demo {

const char* LayerName(Layer layer) {
    static const char* const names[] = {"memory", "disk", "redis", "sqlite"};
    return names[static_cast<int>(layer)];
}

BaseResults::Codec ResultCodec() {
    return {[](const QueryResult& result) { return result.Encode(); },
            [](const unsigned char* data, std::size_t size) -> BaseResults::ValuePtr {
                auto decoded = QueryResult::Decode(data, size);
                if (!decoded) return nullptr;
                return std::make_shared<const QueryResult>(std::move(*decoded));
            }};
}

std::unique_ptr<BaseResults> MakeBaseResults(const std::string& runId, int memoryEntries,
                                             ExternalCachePtr disk, ExternalCachePtr redis,
                                             std::shared_ptr<RedisPubsub> service) {
    ReadThroughOptions options;
    options.name = "VelDemo." + runId + ".results";
    options.memoryEntries = std::max(memoryEntries, 0);
    // In the order of Layer: disk first, it is local.
    options.layers = {std::move(disk), std::move(redis)};
    return std::make_unique<BaseResults>(std::move(options), ResultCodec(), std::move(service));
}

Answerer::Answer Answerer::Base(int qid) {
    const BaseResults::Result got =
        m_base.Get(m_catalogue.Get(qid).key, [this, qid] { return m_runner.Compute(qid); });
    Answer answer;
    answer.result = got.value;
    switch (got.source) {
        case ReadThroughSource::Memory:
        case ReadThroughSource::FailSafe:  // held here, like a memory answer
            answer.layer = Layer::Memory;
            break;
        case ReadThroughSource::External:
            answer.layer = got.layer == 0 ? Layer::Disk : Layer::Redis;
            break;
        case ReadThroughSource::Loader:
            answer.layer = Layer::Sqlite;
            break;
    }
    return answer;
}

Answerer::Answer Answerer::Get(int qid) {
    const Query& query = m_catalogue.Get(qid);
    if (!query.Derived()) return Base(qid);
    Layer deepest = Layer::Memory;
    const DerivedResults::Result got = m_derived.Get(query.key, [&] {
        auto result = std::make_shared<QueryResult>();
        result->qid = qid;
        std::vector<ResultPtr> parts;
        std::vector<const std::vector<Row>*> rows;
        for (const int part : query.components) {
            const Answer answer = Base(part);
            deepest = std::max(deepest, answer.layer);
            result->versions.push_back(answer.result->versions.at(0));
            parts.push_back(answer.result);
            rows.push_back(&parts.back()->rows);
        }
        result->rows = ShareRows(rows);
        return ResultPtr(std::move(result));
    });
    return {got.value, got.held ? Layer::Memory : deepest};
}

}  // namespace demo
