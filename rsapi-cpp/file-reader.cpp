#include "rsapi-cpp/file-reader.h"

#include "rsapi-cpp/xio.h"

#include <cstring>

void FileReader::setCopyHandler(const ustring &path)
{
    copy_handler.reset(new CopyHandler(path.c_str_utf8()));
}

void FileReader::setMD4HashHandler(ustring *text)
{
    md4_hash_handler.reset(new MD4HashHandler(text));
}

void FileReader::setSignatureHandler(const ustring &path, uint32_t block_size, uint32_t hash_size)
{
    signature_handler.reset(new SignatureHandler(path.c_str_utf8()));
    signature_handler->setBlockSize(block_size);
    signature_handler->setHashSize(hash_size);
}

void FileReader::setDeltaHandler(const ustring &delta_path, const ustring &signature_path)
{
    delta_handler.reset(new DeltaHandler(delta_path.c_str_utf8(), signature_path.c_str_utf8()));
}

int FileReader::addHandler(RSHandler *handler)
{
    for (RSHandler *&slot : extra_handlers)
        if (slot == nullptr) {
            slot = handler;
            return handler ? 0 : ERROR_ARGUMENT;
        }
    return ERROR_ARGUMENT;
}

// Every present handler is called even after one has failed.
template <class F> int FileReader::forEach(F &&call)
{
    RSHandler *handlers[] = {copy_handler.get(),     delta_handler.get(),
                             signature_handler.get(), md4_hash_handler.get(),
                             extra_handlers[0],       extra_handlers[1]};
    static_assert(MAX_EXTRA_HANDLERS == 2, "every added handler is listed");
    int rc = 0;
    for (RSHandler *h : handlers)
        if (h && call(h) != 0)
            rc = ERROR_HANDLER_CALL;
    return rc;
}

int FileReader::begin()
{
    return forEach([](RSHandler *h) { return h->begin(); });
}

namespace
{
// Pieces smaller than this are computed in place: a helper thread would cost more than it
// saves on them.
constexpr size_t LANE_MIN_PIECE = 256 * 1024;
} // namespace

int FileReader::update(const uint8_t *bytes, size_t n)
{
    int rc = 0;
    if (copy_handler && copy_handler->update(bytes, n) != 0)
        rc = ERROR_HANDLER_CALL;
    RSHandler *computing[] = {delta_handler.get(), signature_handler.get(),
                              md4_hash_handler.get(), extra_handlers[0], extra_handlers[1]};
    static_assert(sizeof(computing) / sizeof(computing[0]) == sizeof(lanes) / sizeof(lanes[0]),
                  "one lane per computing handler");
    for (size_t i = 0; i < sizeof(computing) / sizeof(computing[0]); ++i) {
        RSHandler *h = computing[i];
        if (h == nullptr)
            continue;
        if (n >= LANE_MIN_PIECE)
            lanes[i].start(h, bytes, n);
        else if (h->update(bytes, n) != 0)
            rc = ERROR_HANDLER_CALL;
    }
    return rc;
}

int FileReader::finishLanes()
{
    int rc = 0;
    for (HandlerLane &lane : lanes)
        if (lane.finish() != 0)
            rc = ERROR_HANDLER_CALL;
    return rc;
}

int FileReader::wait()
{
    const int rc = finishLanes();
    const int waited = forEach([](RSHandler *h) { return h->wait(); });
    return rc != 0 ? rc : waited;
}

int FileReader::end()
{
    // A failed update may leave work in flight that the caller never waited for.
    finishLanes();
    return forEach([](RSHandler *h) { return h->end(); });
}

int FileReader::beginFailureCode() const
{
    if (delta_handler && delta_handler->beginError() == ERROR_FILE_FORMAT)
        return ERROR_FILE_FORMAT;
    return ERROR_HANDLER_CALL;
}

int SimpleFileReader::readFile()
{
    if (file.empty())
        return ERROR_ARGUMENT;
    int code = 0;
    fd_t input;
    // Two buffers: the next piece is read into one while the handlers work on the other.
    std::unique_ptr<uint8_t[]> buffers[2];
    if (begin() != 0)
        code = beginFailureCode();
    else if (fd_open_read(file.c_str(), &input) != 0)
        code = ERROR_SYSTEM_CALL;
    else {
        buffers[0].reset(new uint8_t[PIECE_SIZE]);
        buffers[1].reset(new uint8_t[PIECE_SIZE]);
    }
    size_t current = 0;
    long long got = code == 0 ? fd_read(&input, buffers[0].get(), PIECE_SIZE) : 0;
    while (code == 0) {
        if (aborted()) {
            code = ERROR_ABORT;
            break;
        }
        if (got < 0) {
            code = ERROR_SYSTEM_CALL;
            break;
        }
        if (got == 0)
            break;
        if (update(buffers[current].get(), static_cast<size_t>(got)) != 0) {
            code = ERROR_HANDLER_CALL;
            break;
        }
        current ^= 1;
        got = fd_read(&input, buffers[current].get(), PIECE_SIZE);
        if (wait() != 0)
            code = ERROR_HANDLER_CALL;
    }
    // A handler that cannot finish its output turns a complete pass into a failure.
    if (end() != 0 && code == 0)
        code = ERROR_HANDLER_CALL;
    fd_close(&input);
    return code;
}

int StreamFileReader::start()
{
    if (begin() != 0)
        failure = beginFailureCode();
    else {
        work.reset(new uint8_t[PIECE_SIZE]);
        spare.reset(new uint8_t[PIECE_SIZE]);
    }
    started = true;
    return failure;
}

// Waits for the piece in flight, then starts the handlers on the work buffer, which
// becomes the spare one.
int StreamFileReader::handOver()
{
    if (in_flight) {
        in_flight = false;
        if (wait() != 0)
            return ERROR_HANDLER_CALL;
    }
    if (work_size == 0)
        return 0;
    in_flight = true;
    if (update(work.get(), work_size) != 0)
        return ERROR_HANDLER_CALL;
    work.swap(spare);
    work_size = 0;
    return 0;
}

int StreamFileReader::feed(const uint8_t *bytes, size_t n)
{
    if (!started || failure != 0)
        return failure != 0 ? failure : ERROR_ARGUMENT;
    fed += n;
    while (n > 0) {
        if (aborted())
            return failure = ERROR_ABORT;
        const size_t room = PIECE_SIZE - work_size;
        const size_t piece = n < room ? n : room;
        memcpy(work.get() + work_size, bytes, piece);
        work_size += piece;
        bytes += piece;
        n -= piece;
        if (work_size == PIECE_SIZE && handOver() != 0)
            return failure = ERROR_HANDLER_CALL;
    }
    return 0;
}

int StreamFileReader::finish()
{
    if (!started)
        return ERROR_ARGUMENT;
    if (failure == 0 && handOver() != 0)
        failure = ERROR_HANDLER_CALL;
    if (failure == 0 && handOver() != 0)
        failure = ERROR_HANDLER_CALL;
    if (end() != 0 && failure == 0)
        failure = ERROR_HANDLER_CALL;
    started = false;
    return failure;
}
