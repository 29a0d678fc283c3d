// Command-line front end of the delta engine, for people and for benchmarks:
//   rsapi signature BASIS SIG
//   rsapi delta SIG NEW DELTA
//   rsapi patch BASIS DELTA NEW
//   rsapi md4 FILE
// Exit status 0 on success, 1 with a one-line message otherwise.
#include <cstdio>
#include <cstring>

#include "rsapi-cpp/api.h"

namespace {

const char *resultText(int code)
{
    switch (code) {
    case FileReader::ERROR_ARGUMENT:
        return "missing path";
    case FileReader::ERROR_SYSTEM_CALL:
        return "cannot read or write a file, or the delta is truncated or copies beyond the basis";
    case FileReader::ERROR_HANDLER_CALL:
        return "cannot produce the output";
    case FileReader::ERROR_ABORT:
        return "aborted";
    case FileReader::ERROR_FILE_FORMAT:
        return "malformed signature or delta";
    default:
        return "failed";
    }
}

int usage()
{
    fprintf(stderr, "usage: rsapi signature BASIS SIG | delta SIG NEW DELTA | patch BASIS DELTA NEW | md4 FILE\n");
    return 1;
}

int finish(const char *command, int code)
{
    if (code == 0)
        return 0;
    fprintf(stderr, "rsapi: %s failed (%d): %s\n", command, code, resultText(code));
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return usage();
    const char *command = argv[1];
    if (strcmp(command, "signature") == 0 && argc == 4) {
        SimpleFileReader reader;
        reader.setFile(argv[2]);
        reader.setSignature(argv[3], SignatureHandler::DEFAULT_BLOCK_SIZE, SignatureHandler::DEFAULT_HASH_SIZE);
        return finish(command, reader.readFile());
    }
    if (strcmp(command, "delta") == 0 && argc == 5) {
        SimpleFileReader reader;
        reader.setFile(argv[3]);
        reader.setDelta(argv[4], argv[2]);
        return finish(command, reader.readFile());
    }
    if (strcmp(command, "patch") == 0 && argc == 5) {
        DeltaFileReader reader;
        reader.setFile(argv[3], argv[2]);
        reader.setNewFile(argv[4]);
        return finish(command, reader.readFile());
    }
    if (strcmp(command, "md4") == 0 && argc == 3) {
        SimpleFileReader reader;
        reader.setFile(argv[2]);
        ustring digits;
        reader.setHashString(&digits);
        int code = reader.readFile();
        if (code == 0)
            printf("%s\n", digits.c_str_utf8());
        return finish(command, code);
    }
    return usage();
}
