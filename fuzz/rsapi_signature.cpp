// Signature files from outside: the loader must reject malformed headers with a
// clear code, and delta generation against whatever it accepted must not crash or
// allocate by sizes taken from the file.
#include <cstdint>
#include <string>

#include "fuzz/fuzz-support.h"
#include "rsapi-cpp/api.h"
#include "rsapi-cpp/signature-loader.h"

namespace
{

std::string scratch(const char *name)
{
    return FuzzScratchFile("rsapi-sig", name);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    SignatureIndex index;
    if (rs_signature_from_bytes(data, size, &index) == 0 && index.blockCount() > 0) {
        const DeltaBlock *first, *last;
        index.find(index.weakOf(0), &first, &last);
        if (first == last)
            __builtin_trap(); // every loaded block must be found by its weak sum
    }

    // The same bytes as a signature file, and as the new file of a delta against it.
    static const std::string sig = scratch("sig"), input = scratch("input"),
                             delta = scratch("delta");
    FuzzWriteFile(sig, data, size);
    FuzzWriteFile(input, data, size);
    SimpleFileReader reader;
    reader.setFile(input.c_str());
    reader.setDelta(delta.c_str(), sig.c_str());
    int rc = reader.readFile();
    if (rc != 0 && rc != FileReader::ERROR_FILE_FORMAT)
        __builtin_trap();
    return 0;
}
