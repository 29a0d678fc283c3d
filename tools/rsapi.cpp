// Command-line front end of the delta engine, for people and for benchmarks:
//   rsapi signature BASIS SIG
//   rsapi delta SIG NEW DELTA
//   rsapi patch BASIS DELTA NEW
//   rsapi md4 FILE
// Exit status 0 on success, 1 with a one-line message otherwise.
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include "rsapi-cpp/api.h"

namespace
{

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
    fprintf(stderr, "usage: rsapi signature BASIS SIG | delta SIG NEW DELTA | patch BASIS DELTA "
                    "NEW | md4 FILE\n");
    return 1;
}

// The engine explains failures on the standard error stream, sometimes in several
// lines; they are collected here so the tool can report one line.
class ErrorCapture
{
public:
    ErrorCapture() : file(tmpfile()), saved(file ? dup(2) : -1)
    {
        if (saved >= 0)
            dup2(fileno(file), 2);
    }
    ~ErrorCapture() { restore(); }

    // The first collected line, without its line break.
    std::string firstLine()
    {
        restore();
        if (!file)
            return "";
        char line[512] = "";
        rewind(file);
        if (!fgets(line, sizeof line, file))
            return "";
        line[strcspn(line, "\n")] = '\0';
        return line;
    }

private:
    void restore()
    {
        if (saved >= 0) {
            dup2(saved, 2);
            close(saved);
            saved = -1;
        }
    }

    FILE *file;
    int saved;
};

int finish(const char *command, int code, ErrorCapture &errors)
{
    std::string detail = errors.firstLine();
    if (code == 0)
        return 0;
    fprintf(stderr, "rsapi: %s failed (%d): %s%s%s%s\n", command, code, resultText(code),
            detail.empty() ? "" : " [", detail.c_str(), detail.empty() ? "" : "]");
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return usage();
    const char *command = argv[1];
    static const struct {
        const char *name;
        int argc;
    } commands[] = {{"signature", 4}, {"delta", 5}, {"patch", 5}, {"md4", 3}};
    bool known = false;
    for (const auto &c : commands)
        known = known || (strcmp(command, c.name) == 0 && argc == c.argc);
    if (!known)
        return usage();
    ErrorCapture errors;
    if (strcmp(command, "signature") == 0) {
        SimpleFileReader reader;
        reader.setFile(argv[2]);
        reader.setSignature(argv[3], SignatureHandler::DEFAULT_BLOCK_SIZE,
                            SignatureHandler::DEFAULT_HASH_SIZE);
        return finish(command, reader.readFile(), errors);
    }
    if (strcmp(command, "delta") == 0) {
        SimpleFileReader reader;
        reader.setFile(argv[3]);
        reader.setDelta(argv[4], argv[2]);
        return finish(command, reader.readFile(), errors);
    }
    if (strcmp(command, "patch") == 0) {
        DeltaFileReader reader;
        reader.setFile(argv[3], argv[2]);
        reader.setNewFile(argv[4]);
        return finish(command, reader.readFile(), errors);
    }
    if (strcmp(command, "md4") == 0) {
        SimpleFileReader reader;
        reader.setFile(argv[2]);
        ustring digits;
        reader.setHashString(&digits);
        int code = reader.readFile();
        if (code == 0)
            printf("%s\n", digits.c_str_utf8());
        return finish(command, code, errors);
    }
    return 1;
}
