// One sequential pass over one input that feeds up to four consumers at once: a copy
// of the input, its whole-file MD4, its signature and its delta against a signature.
#ifndef AEROLITH_RSAPI_FILE_READER_H
#define AEROLITH_RSAPI_FILE_READER_H

#include <atomic>
#include <memory>
#include <string>

#include "rsapi-cpp/copy-handler.h"
#include "rsapi-cpp/delta-handler.h"
#include "rsapi-cpp/handler-lane.h"
#include "rsapi-cpp/md4-hash-handler.h"
#include "rsapi-cpp/signature-handler.h"
#include "ustring/ustring.h"

class FileReader
{
public:
    enum {
        ERROR_ARGUMENT = -1,
        ERROR_SYSTEM_CALL = -2,
        ERROR_HANDLER_CALL = -3,
        ERROR_ABORT = -4,
        ERROR_FILE_FORMAT = -5,
    };
    // Input is read, and output produced, in pieces of this size.
    static constexpr size_t PIECE_SIZE = 1048576;

    FileReader() = default;
    FileReader(const FileReader &) = delete;
    FileReader &operator=(const FileReader &) = delete;
    virtual ~FileReader() = default;
    virtual int readFile() = 0;

    // The flag is set by another thread to stop the pass; it may be absent.
    void setAbortFlag(const std::atomic<bool> *flag) { abort_flag = flag; }
    void setCopyHandler(const ustring &path);
    void setMD4HashHandler(ustring *text);
    void setSignatureHandler(const ustring &path, uint32_t block_size, uint32_t hash_size);
    void setDeltaHandler(const ustring &delta_path, const ustring &signature_path);
    // A further consumer of the same bytes, owned by the caller (it must outlive the
    // reader), for instance a digest that the built-in handlers do not give. It is called
    // after the built-in ones and works on its own helper thread like them. At most
    // MAX_EXTRA_HANDLERS; 0, or ERROR_ARGUMENT.
    static constexpr size_t MAX_EXTRA_HANDLERS = 2;
    int addHandler(RSHandler *handler);

    // Each calls every present handler in the order copy, delta, signature, MD4, the
    // added ones, and gives -3 if any of them failed. update() of a large piece leaves the delta,
    // signature and MD4 work running on helper threads, each handler on its own, and
    // wait() collects it: the bytes must stay untouched until then, and the caller may
    // read the next piece into another buffer meanwhile.
    int begin();
    int update(const uint8_t *bytes, size_t n);
    int wait();
    int end();

    MD4HashHandler *md4Handler() const { return md4_hash_handler.get(); }

protected:
    bool aborted() const { return abort_flag && abort_flag->load(std::memory_order_relaxed); }
    // The code for a failed begin(): -5 when the delta's signature is malformed.
    int beginFailureCode() const;

private:
    template <class F> int forEach(F &&call);
    // Waits for the work update() left on the helper threads; -3 if any of it failed.
    int finishLanes();

    const std::atomic<bool> *abort_flag = nullptr;
    std::unique_ptr<CopyHandler> copy_handler;
    std::unique_ptr<MD4HashHandler> md4_hash_handler;
    std::unique_ptr<SignatureHandler> signature_handler;
    std::unique_ptr<DeltaHandler> delta_handler;
    RSHandler *extra_handlers[MAX_EXTRA_HANDLERS] = {};
    // One per computing handler (delta, signature, MD4, the added ones); declared after
    // the handlers so that they stop before the handlers go.
    HandlerLane lanes[3 + MAX_EXTRA_HANDLERS];
};

class SimpleFileReader : public FileReader
{
public:
    void setFile(const ustring &path) { file = path.c_str_utf8(); }
    void setCopyFile(const ustring &path) { setCopyHandler(path); }
    void setHashString(ustring *text) { setMD4HashHandler(text); }
    void setSignature(const ustring &path, uint32_t block_size, uint32_t hash_size)
    {
        setSignatureHandler(path, block_size, hash_size);
    }
    void setDelta(const ustring &delta_path, const ustring &signature_path)
    {
        setDeltaHandler(delta_path, signature_path);
    }

    int readFile() override;

private:
    std::string file;
};

// Digests bytes that arrive in stretches of any size, for instance from a network
// stream as it is stored, so that no second pass over the stored file is needed. The
// stretches collect in a piece buffer; full pieces go to the handlers (on their helper
// threads) while the next piece fills the other buffer.
class StreamFileReader : public FileReader
{
public:
    void setHashString(ustring *text) { setMD4HashHandler(text); }
    void setSignature(const ustring &path, uint32_t block_size, uint32_t hash_size)
    {
        setSignatureHandler(path, block_size, hash_size);
    }

    // Not used: the bytes come through feed().
    int readFile() override { return ERROR_ARGUMENT; }

    // 0, or the first failure; after a failure later calls do nothing.
    int start();
    int feed(const uint8_t *bytes, size_t n);
    // Digests what is left and finishes the handlers (also after a failure, which it
    // then reports). The bytes fed so far are the whole input.
    int finish();
    uint64_t fedBytes() const { return fed; }

private:
    int handOver();

    std::unique_ptr<uint8_t[]> work;
    std::unique_ptr<uint8_t[]> spare;
    size_t work_size = 0;
    bool in_flight = false;
    bool started = false;
    int failure = 0;
    uint64_t fed = 0;
};

#endif
