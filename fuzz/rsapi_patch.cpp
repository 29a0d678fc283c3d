// Delta files from outside: applying one to a small basis must end with a result
// code, never crash, and never allocate by a length taken from the delta.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz-support.h"
#include "rsapi-cpp/api.h"

namespace
{

std::string scratch(const char *name)
{
    return FuzzScratchFile("rsapi-patch", name);
}

const std::string &basisPath()
{
    static const std::string path = [] {
        std::string p = scratch("basis");
        std::vector<uint8_t> basis(5000);
        for (size_t i = 0; i < basis.size(); ++i)
            basis[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
        FuzzWriteFile(p, basis.data(), basis.size());
        return p;
    }();
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Most inputs get the right magic so that the command decoder is reached.
    static const std::string delta = scratch("delta"), out = scratch("new"),
                             sig = scratch("new.sig");
    std::vector<uint8_t> bytes;
    if (size > 0 && (data[0] & 1)) {
        bytes = {0x72, 0x73, 0x02, 0x36};
        bytes.insert(bytes.end(), data + 1, data + size);
    } else {
        bytes.assign(data, data + size);
    }
    FuzzWriteFile(delta, bytes.data(), bytes.size());
    DeltaFileReader reader;
    reader.setFile(delta.c_str(), basisPath().c_str());
    reader.setNewFile(out.c_str());
    ustring md4;
    reader.setHashString(&md4);
    reader.setSignature(sig.c_str(), 2048, 8);
    int rc = reader.readFile();
    if (rc != 0 && rc != FileReader::ERROR_SYSTEM_CALL && rc != FileReader::ERROR_FILE_FORMAT)
        __builtin_trap();
    return 0;
}
