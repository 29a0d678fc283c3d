#include "rsapi-cpp/file-reader.h"

#include "rsapi-cpp/xio.h"

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

// Every present handler is called even after one has failed.
template <class F> int FileReader::forEach(F &&call)
{
    RSHandler *handlers[] = {copy_handler.get(), delta_handler.get(), signature_handler.get(),
                             md4_hash_handler.get()};
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

int FileReader::update(const uint8_t *bytes, size_t n)
{
    return forEach([bytes, n](RSHandler *h) { return h->update(bytes, n); });
}

int FileReader::wait()
{
    return forEach([](RSHandler *h) { return h->wait(); });
}

int FileReader::end()
{
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
    std::unique_ptr<uint8_t[]> buffer;
    if (begin() != 0)
        code = beginFailureCode();
    else if (fd_open_read(file.c_str(), &input) != 0)
        code = ERROR_SYSTEM_CALL;
    else
        buffer.reset(new uint8_t[PIECE_SIZE]);
    while (code == 0) {
        if (aborted()) {
            code = ERROR_ABORT;
            break;
        }
        long long got = fd_read(&input, buffer.get(), PIECE_SIZE);
        if (got < 0) {
            code = ERROR_SYSTEM_CALL;
            break;
        }
        if (got == 0)
            break;
        if (update(buffer.get(), static_cast<size_t>(got)) != 0 || wait() != 0)
            code = ERROR_HANDLER_CALL;
    }
    // A handler that cannot finish its output turns a complete pass into a failure.
    if (end() != 0 && code == 0)
        code = ERROR_HANDLER_CALL;
    fd_close(&input);
    return code;
}
