// The main job's freshness verdicts against a real SQLite database, changed through the
// writer's own recorder with commit times the tests choose.
#include "judge/FreshnessChecker.h"

#include <gtest/gtest.h>

#include <ostream>

#include "SalesDbTest.h"

namespace demo {

// Verdicts by name in failure messages.
void PrintTo(FreshnessChecker::Verdict verdict, std::ostream* out) {
    static const char* const kNames[] = {"Fresh", "StaleWithinWindow", "StaleBeyondWindow"};
    *out << kNames[static_cast<int>(verdict)];
}

namespace {

using Verdict = FreshnessChecker::Verdict;

constexpr std::int64_t kLongAgoMs = 3'600'000;  // far beyond the window
constexpr int kMonth = 3;

class FreshnessCheck : public SalesDbTest {
protected:
    FreshnessCheck() : SalesDbTest(7) {}

    // A sales row in `region` of `product` and `month` (any product or month when 0).
    std::int64_t SalesRow(int region, std::int64_t product, int month = 0) {
        Statement find(*m_db,
                       "SELECT id FROM sales WHERE region_id = ?1 AND (?2 = 0 OR product_id = ?2)"
                       " AND (?3 = 0 OR month = ?3) LIMIT 1");
        find.Bind(1, region);
        find.Bind(2, product);
        find.Bind(3, month);
        if (!find.Step()) throw std::logic_error("no such sales row");
        return find.Column(0);
    }
    // The product that sells least in `region`: far from its top five.
    std::int64_t WeakestProduct(int region) {
        Statement find(*m_db,
                       "SELECT product_id FROM sales WHERE region_id = ?1"
                       " GROUP BY product_id ORDER BY SUM(amount), product_id LIMIT 1");
        find.Bind(1, region);
        find.Step();
        return find.Column(0);
    }
    // Commits and announces a change as if both happened `agoMs` before now.
    void Change(std::int64_t salesRow, std::int64_t delta, std::int64_t agoMs) {
        m_agoMs = agoMs;
        const ChangeRecorder::Update update = m_recorder->Apply(salesRow, delta);
        m_recorder->RecordAnnounced(
            update, std::vector<std::int64_t>(update.affected.size(), NowMs() - agoMs));
    }
    ResultPtr Serve(int qid) { return m_reader->Compute(qid); }
    // A share answer built as a worker builds it, from separately cached parts.
    ResultPtr Derive(int qid, const std::vector<ResultPtr>& parts) {
        auto result = std::make_shared<QueryResult>();
        result->qid = qid;
        std::vector<const std::vector<Row>*> rows;
        for (const ResultPtr& part : parts) {
            result->versions.push_back(part->versions.at(0));
            rows.push_back(&part->rows);
        }
        result->rows = ShareRows(rows);
        return result;
    }
    // Judges `served` as answered `answeredAgoMs` before now.
    Verdict Check(const ResultPtr& served, std::int64_t answeredAgoMs = 0) {
        return m_checker->CheckServed(served, NowMs() - answeredAgoMs);
    }
};

TEST_F(FreshnessCheck, AnswerWhoseRowsSurviveNewerVersionsIsFresh) {
    const int top = QueryId("top-products:1:0");
    const int share = QueryId("region-share:1:" + std::to_string(kMonth));
    const ResultPtr topAnswer = Serve(top);
    const ResultPtr shareAnswer = Serve(share);
    EXPECT_EQ(Check(shareAnswer), Verdict::Fresh);  // no part ever changed

    Change(SalesRow(1, WeakestProduct(1)), 1, kLongAgoMs);
    ASSERT_GT(m_reader->Version(top), topAnswer->versions[0].second);
    EXPECT_EQ(Check(topAnswer), Verdict::Fresh);
    EXPECT_EQ(m_stats.Get("check.fresh"), 2);
}

// A top query's answer was judged stale beyond the window, by the age of an old version that
// had left its rows as they were, when the change that altered them was milliseconds old.
TEST_F(FreshnessCheck, AgeCountsFromTheChangeThatAlteredTheRowsNotFromTheNextVersion) {
    const int top = QueryId("top-products:2:0");
    const ResultPtr served = Serve(top);
    Change(SalesRow(2, WeakestProduct(2)), 1, kLongAgoMs);
    Change(SalesRow(2, served->rows.at(0).at(0)), 1000, 0);  // the best seller sells more
    EXPECT_EQ(Check(served), Verdict::StaleWithinWindow);
    EXPECT_EQ(m_stats.Get("check.stale-within-window"), 1);
}

TEST_F(FreshnessCheck, StaleSinceAnOldChangeIsBeyondTheWindowWhateverChangedSince) {
    const int top = QueryId("top-products:3:0");
    const ResultPtr served = Serve(top);
    Change(SalesRow(3, served->rows.at(0).at(0)), 1000, kLongAgoMs);
    Change(SalesRow(3, served->rows.at(0).at(0)), 1000, 0);
    EXPECT_EQ(Check(served), Verdict::StaleBeyondWindow);
    EXPECT_EQ(m_stats.Get("check.stale-beyond-window"), 1);
}

// The age counted to the end of the check, after the judge's own reads of the database: under
// load those took hundreds of milliseconds, and an answer given within the window was counted
// beyond it. The age is the answer's.
TEST_F(FreshnessCheck, AgeCountedToTheEndOfTheCheckNotToTheAnswer) {
    const int top = QueryId("top-products:5:0");
    const ResultPtr served = Serve(top);
    Change(SalesRow(5, served->rows.at(0).at(0)), 1000, 70'000);  // the window is 60 s
    EXPECT_EQ(Check(served, 30'000), Verdict::StaleWithinWindow);
    EXPECT_EQ(Check(served), Verdict::StaleBeyondWindow);
}

TEST_F(FreshnessCheck, DerivedAnswerDatesFromTheChangeOfAnyOfItsParts) {
    const int share = QueryId("region-share:1:" + std::to_string(kMonth));
    const std::vector<int>& parts = m_catalogue->Get(share).components;
    const std::size_t region2 = 1, region3 = 2;  // the own region's cell first, then the others
    ASSERT_EQ(m_catalogue->Get(parts[region2]).a, 2);
    ASSERT_EQ(m_catalogue->Get(parts[region3]).a, 3);
    const auto change = [&](int region, std::int64_t agoMs) {
        Change(SalesRow(region, 0, kMonth), 500, agoMs);
    };
    // Region 2's cell moves the month's total, and so region 1's share row.
    const ResultPtr served = Serve(share);
    change(2, kLongAgoMs);
    EXPECT_EQ(Check(served), Verdict::StaleBeyondWindow);

    // Parts cached at different moments, as a worker may hold them: region 2's from before its
    // last change, the others from after a later change of region 3. That combination never
    // existed in the database; it went stale with region 2's change.
    const auto mixed = [&](std::int64_t region2AgoMs) {
        std::vector<ResultPtr> cached;
        for (const int part : parts) cached.push_back(Serve(part));
        change(2, region2AgoMs);
        change(3, 0);
        for (std::size_t i = 0; i < parts.size(); ++i)
            if (i != region2) cached[i] = Serve(parts[i]);
        return Derive(share, cached);
    };
    EXPECT_EQ(Check(mixed(kLongAgoMs)), Verdict::StaleBeyondWindow);
    EXPECT_EQ(Check(mixed(0)), Verdict::StaleWithinWindow);
}

TEST_F(FreshnessCheck, AnswerThatNeverMatchedItsVersionsIsBeyondTheWindow) {
    const int top = QueryId("top-products:4:0");
    auto wrong = std::make_shared<QueryResult>(*Serve(top));
    wrong->rows.at(0).at(1) += 1;
    EXPECT_EQ(Check(wrong), Verdict::StaleBeyondWindow);
    // A recent change afterwards does not make it look recently outdated.
    Change(SalesRow(4, wrong->rows.at(0).at(0)), 1000, 0);
    EXPECT_EQ(Check(wrong), Verdict::StaleBeyondWindow);
}

}  // namespace
}  // namespace demo
