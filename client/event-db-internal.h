// Shared pieces of the event database's source files.
#pragma once

#include "client/event-db.h"
#include "ustring/ustring.h"

#include <sqlite3.h>

#include <memory>

namespace event_db
{

extern const ustring COMPONENT;

struct SqlFree {
    void operator()(char *p) const { sqlite3_free(p); }
};
using SqlText = std::unique_ptr<char, SqlFree>;

struct StmtFinalize {
    void operator()(sqlite3_stmt *s) const { sqlite3_finalize(s); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StmtFinalize>;

// Text of a result column, "" for NULL.
inline const char *columnText(sqlite3_stmt *stmt, int col)
{
    const unsigned char *text = sqlite3_column_text(stmt, col);
    return text ? reinterpret_cast<const char *>(text) : "";
}

} // namespace event_db

// The write statements of one connection, prepared on first use and finalized before the
// connection closes.
struct FileEventDB::WriteStatements {
    event_db::Statement insert_row;
    event_db::Statement update_row;
    event_db::Statement insert_ancestor;
    event_db::Statement raise_ancestor;
};
