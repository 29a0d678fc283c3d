// A filter database in a scratch directory for the tests of the filter database and the
// reconciliation, with a raw SQLite view of its tables to check what was stored.
#pragma once

#include "client/core/filter-db.h"
#include "client/core/progress-cache.h"
#include "support/temp-dir.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

class FilterDBFixture : public testing::Test
{
protected:
    void SetUp() override
    {
        db_path = dir.file("filter-db.sqlite");
        ASSERT_EQ(0, FilterDB::getInstance().initialize(db_path.c_str()));
        ProgressCache::getInstance().clear();
    }
    void TearDown() override
    {
        FilterDB::getInstance().destroy();
        ProgressCache::getInstance().clear();
    }

    FilterDB &db() { return FilterDB::getInstance(); }

    // Every row of a query, its columns joined by "|" (NULL shows as "NULL").
    std::vector<std::string> rows(const std::string &sql)
    {
        std::vector<std::string> out;
        sqlite3 *raw = nullptr;
        EXPECT_EQ(SQLITE_OK, sqlite3_open_v2(db_path.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr));
        sqlite3_stmt *stmt = nullptr;
        EXPECT_EQ(SQLITE_OK, sqlite3_prepare_v2(raw, sql.c_str(), -1, &stmt, nullptr)) << sql;
        while (stmt != nullptr && sqlite3_step(stmt) == SQLITE_ROW) {
            std::string row;
            for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
                const unsigned char *text = sqlite3_column_text(stmt, i);
                row += (i ? "|" : "") +
                       std::string(text ? reinterpret_cast<const char *>(text) : "NULL");
            }
            out.push_back(row);
        }
        sqlite3_finalize(stmt);
        sqlite3_close(raw);
        return out;
    }

    TempDir dir;
    std::string db_path;
};

typedef std::vector<std::string> Rows;
