// A test over a sales database of 3000 rows that the generator writes into a temporary directory
// of the test's own (removed at its end): the query catalogue, a writer's connection with the
// change recorder, a reader's connection and a freshness checker with a window of 60 s. The
// recorder dates each change m_agoMs before now. One test thread uses it.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include "data/DataGenerator.h"
#include "data/Database.h"
#include "data/QueryCatalogue.h"
#include "data/QueryRunner.h"
#include "judge/ChangeRecorder.h"
#include "judge/FreshnessChecker.h"

namespace demo {

class SalesDbTest : public ::testing::Test {
protected:
    explicit SalesDbTest(unsigned seed) {
        DataShape shape;
        shape.salesRows = 3000;
        DataGenerator(shape, seed).Write(m_path);
        m_db = std::make_unique<Database>(m_path);
        m_catalogue = std::make_unique<QueryCatalogue>(*m_db);
        m_writer = std::make_unique<QueryRunner>(m_path, *m_catalogue);
        m_recorder = std::make_unique<ChangeRecorder>(*m_writer, *m_catalogue,
                                                      [this] { return NowMs() - m_agoMs; });
        m_reader = std::make_unique<QueryRunner>(m_path, *m_catalogue);
        m_checker = std::make_unique<FreshnessChecker>(*m_reader, m_stats, 60'000);
    }
    ~SalesDbTest() override {
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }

    int QueryId(const std::string& key) const {
        for (const Query& q : m_catalogue->All())
            if (q.key == key) return q.id;
        throw std::logic_error("no query " + key);
    }
    static std::filesystem::path MakeDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "velsales-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        return pattern;
    }

    const std::filesystem::path m_dir = MakeDir();
    const std::string m_path = (m_dir / "sales.db").string();
    std::int64_t m_agoMs = 0;
    Stats m_stats;
    std::unique_ptr<Database> m_db;
    std::unique_ptr<QueryCatalogue> m_catalogue;
    std::unique_ptr<QueryRunner> m_writer;
    std::unique_ptr<ChangeRecorder> m_recorder;
    std::unique_ptr<QueryRunner> m_reader;
    std::unique_ptr<FreshnessChecker> m_checker;
};

}  // namespace demo
