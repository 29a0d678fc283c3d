// The file-status statement builder quotes paths taken from the local disk. For any text,
// the built literal must parse and stand for exactly that text: as a plain literal it
// equals the text, as a LIKE pattern it matches the text.
#include "fstat-db.h"

#include <sqlite3.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace
{

// One row from `sql` with the text bound as ?1, or a trap when SQLite rejects it.
long long evaluate(sqlite3 *db, const char *sql, const std::string &text)
{
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK)
        __builtin_trap();
    sqlite3_bind_text(stmt, 1, text.c_str(), static_cast<int>(text.size()), SQLITE_STATIC);
    long long result = sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_int64(stmt, 0) : -1;
    sqlite3_finalize(stmt);
    return result;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static sqlite3 *db = nullptr;
    if (!db && sqlite3_open(":memory:", &db) != SQLITE_OK)
        return 0;
    std::string text(reinterpret_cast<const char *>(data), size);
    text = text.substr(0, text.find('\0'));

    char *plain = ZENTDBEscapeStringEX3("select '@ZENT:VAR' = ?1", text.c_str());
    char *like = ZENTDBEscapeStringEX3("select ?1 like '@ZENT:LVAR'", text.c_str());
    if (!plain || !like)
        __builtin_trap();
    // Texts that are not valid UTF-8 compare by bytes in both forms; only a mismatch of
    // a valid text is a fault.
    bool valid = ustring::is_valid(ustring(text.c_str()));
    if (evaluate(db, plain, text) != 1 && valid)
        __builtin_trap();
    if (evaluate(db, like, text) != 1 && valid)
        __builtin_trap();
    free(plain);
    free(like);
    return 0;
}
