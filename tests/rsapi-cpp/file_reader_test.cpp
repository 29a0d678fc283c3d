// Single passes over a local file: copy, whole-file MD4 and signature, the result
// codes of the reader, and the buffered reader of the file layer.
#include <gtest/gtest.h>

#include <cstring>

#include "rsapi-cpp/api.h"
#include "rsapi-cpp/byte-order.h"
#include "rsapi-cpp/md4.h"
#include "rsapi-cpp/xio.h"
#include "rsapi-test-files.h"

namespace
{

class FileReaderTest : public RsapiFiles
{
protected:
    // Runs one pass with copy, MD4 and signature handlers over `input`.
    int pass(const Bytes &input, ustring *md4, uint32_t block = 0, uint32_t hash = 0)
    {
        SimpleFileReader reader;
        reader.setFile(write("in", input).c_str());
        reader.setCopyFile(path("copy").c_str());
        reader.setHashString(md4);
        reader.setSignature(path("sig").c_str(), block, hash);
        return reader.readFile();
    }

    // Signature of `input` computed directly, fed in pieces of `piece` bytes.
    Bytes signatureInPieces(const Bytes &input, size_t piece)
    {
        SignatureHandler handler(path("pieces.sig"));
        feedInPieces(handler, input, piece);
        return read("pieces.sig");
    }
};

TEST_F(FileReaderTest, EmptyInput)
{
    ustring md4;
    ASSERT_EQ(pass({}, &md4), 0);
    EXPECT_EQ(md4, ustring("31d6cfe0d16ae931b73c59d7e0c089c0"));
    EXPECT_EQ(read("sig"), (Bytes{0x72, 0x73, 0x01, 0x36, 0, 0, 0x08, 0, 0, 0, 0, 0x08}));
    EXPECT_TRUE(exists("copy"));
    EXPECT_TRUE(read("copy").empty());
}

// 4097 bytes: two full blocks and a one-byte block whose weak sum uses n = 1.
TEST_F(FileReaderTest, SignatureRecordsAndCopy)
{
    Bytes input = randomBytes(4097, 11);
    ustring md4;
    ASSERT_EQ(pass(input, &md4), 0);
    EXPECT_EQ(read("copy"), input);
    uint8_t digest[MD4_DIGEST_BYTES];
    rs_md4(input.data(), input.size(), digest);
    EXPECT_EQ(md4, ustring(rs_md4_hex(digest).c_str()));

    Bytes sig = read("sig");
    ASSERT_EQ(sig.size(), 12u + 3 * 12);
    for (size_t block = 0; block < 3; ++block) {
        const uint8_t *data = input.data() + block * 2048;
        size_t n = block < 2 ? 2048 : 1;
        const uint8_t *rec = sig.data() + 12 + block * 12;
        EXPECT_EQ(rs_get_be32(rec), RSRollingChecksum::of(data, n));
        rs_md4(data, n, digest);
        EXPECT_EQ(0, memcmp(rec + 4, digest, 8));
    }
    EXPECT_EQ(rs_get_be32(sig.data() + 12 + 24), (input[4096] + 31u) * 0x00010001u);
}

TEST_F(FileReaderTest, SignatureDoesNotDependOnPieces)
{
    Bytes input = randomBytes(3 * 2048 + 700, 5);
    Bytes whole = signatureInPieces(input, input.size());
    for (size_t piece : {1u, 7u, 2047u, 2049u, 4096u})
        EXPECT_EQ(signatureInPieces(input, piece), whole) << piece;
}

// Bytes fed as they arrive, in stretches of any size and across the reader's pieces, give
// the hash and signature that one pass over the stored file gives.
TEST_F(FileReaderTest, StreamedInputMatchesFilePass)
{
    for (size_t size : {size_t(0), size_t(5000), 2 * FileReader::PIECE_SIZE + 4097}) {
        Bytes input = randomBytes(size, 21);
        ustring file_md4;
        ASSERT_EQ(pass(input, &file_md4), 0);
        const Bytes file_sig = read("sig");
        for (size_t stretch : {size_t(1) << 20, size_t(81920), size_t(4093)}) {
            if (size > 10000 && stretch < 10000)
                continue; // byte-sized stretches over megabytes only slow the test down
            StreamFileReader reader;
            ustring md4;
            reader.setHashString(&md4);
            reader.setSignature(path("streamed.sig").c_str(), 2048, 8);
            ASSERT_EQ(reader.start(), 0);
            for (size_t at = 0; at < size; at += stretch)
                ASSERT_EQ(reader.feed(input.data() + at, std::min(stretch, size - at)), 0);
            ASSERT_EQ(reader.finish(), 0);
            EXPECT_EQ(reader.fedBytes(), size);
            EXPECT_EQ(md4, file_md4) << size << " in " << stretch;
            EXPECT_EQ(read("streamed.sig"), file_sig) << size << " in " << stretch;
        }
    }
}

// A consumer added to a pass: keeps every byte it is given.
class Collector : public RSHandler
{
public:
    int begin() override { return 0; }
    int update(const uint8_t *bytes, size_t n) override
    {
        seen.insert(seen.end(), bytes, bytes + n);
        return 0;
    }
    int wait() override { return 0; }
    int end() override { return 0; }
    Bytes seen;
};

// Added consumers see every byte of the pass in order, next to the built-in handlers and
// on their own threads: the bytes of the file, and for a patch the bytes of the result.
TEST_F(FileReaderTest, AddedHandlersSeeEveryByteOfThePass)
{
    for (size_t size : {size_t(0), size_t(5001), 2 * FileReader::PIECE_SIZE + 4097}) {
        SCOPED_TRACE(size);
        Bytes input = randomBytes(size, 31);
        Collector first, second, third;
        ustring md4;
        SimpleFileReader reader;
        reader.setFile(write("in", input).c_str());
        reader.setHashString(&md4);
        ASSERT_EQ(reader.addHandler(nullptr), FileReader::ERROR_ARGUMENT);
        ASSERT_EQ(reader.addHandler(&first), 0);
        ASSERT_EQ(reader.addHandler(&second), 0);
        EXPECT_EQ(reader.addHandler(&third), FileReader::ERROR_ARGUMENT);
        ASSERT_EQ(reader.readFile(), 0);
        EXPECT_TRUE(first.seen == input);
        EXPECT_TRUE(second.seen == input);
        EXPECT_TRUE(third.seen.empty());
        uint8_t digest[MD4_DIGEST_BYTES];
        rs_md4(input.data(), input.size(), digest);
        EXPECT_EQ(md4, ustring(rs_md4_hex(digest).c_str()));

        // The input as a patch against a basis with scattered differences.
        Bytes basis = input;
        for (size_t at = 100; at < basis.size(); at += 700000)
            basis[at] = static_cast<uint8_t>(basis[at] ^ 0x5a);
        SimpleFileReader sign;
        sign.setFile(write("basis", basis).c_str());
        sign.setSignature(path("basis.sig").c_str(), 2048, 8);
        ASSERT_EQ(sign.readFile(), 0);
        SimpleFileReader diff;
        diff.setFile(path("in").c_str());
        diff.setDelta(path("delta").c_str(), path("basis.sig").c_str());
        ASSERT_EQ(diff.readFile(), 0);
        Collector result;
        DeltaFileReader patch;
        patch.setFile(path("delta").c_str(), path("basis").c_str());
        patch.setNewFile(path("new").c_str());
        ASSERT_EQ(patch.addHandler(&result), 0);
        ASSERT_EQ(patch.readFile(), 0);
        EXPECT_TRUE(read("new") == input);
        EXPECT_TRUE(result.seen == input);
    }
}

TEST_F(FileReaderTest, SignatureSizesOutOfRangeKeepDefaults)
{
    ustring md4;
    ASSERT_EQ(pass(randomBytes(10, 1), &md4, 0, 17), 0);
    Bytes sig = read("sig");
    EXPECT_EQ(rs_get_be32(sig.data() + 4), 2048u);
    EXPECT_EQ(rs_get_be32(sig.data() + 8), 8u);
    ASSERT_EQ(pass(randomBytes(10, 1), &md4, 512, 16), 0);
    sig = read("sig");
    EXPECT_EQ(rs_get_be32(sig.data() + 4), 512u);
    EXPECT_EQ(sig.size(), 12u + 20);
}

TEST_F(FileReaderTest, ResultCodes)
{
    {
        SimpleFileReader noInput;
        noInput.setCopyFile(path("never").c_str());
        EXPECT_EQ(noInput.readFile(), FileReader::ERROR_ARGUMENT);
        EXPECT_FALSE(exists("never")); // no handler was begun
    }
    {
        SimpleFileReader missing;
        missing.setFile(path("absent").c_str());
        EXPECT_EQ(missing.readFile(), FileReader::ERROR_SYSTEM_CALL);
    }
    {
        std::atomic<bool> stop{true};
        SimpleFileReader aborted;
        aborted.setFile(write("in", randomBytes(100, 2)).c_str());
        aborted.setCopyFile(path("copy").c_str());
        aborted.setAbortFlag(&stop);
        EXPECT_EQ(aborted.readFile(), FileReader::ERROR_ABORT);
        EXPECT_TRUE(exists("copy"));
        EXPECT_TRUE(read("copy").empty());
    }
    {
        SimpleFileReader unwritable;
        unwritable.setFile(write("in", randomBytes(100, 2)).c_str());
        unwritable.setCopyFile(path("no-such-dir/copy").c_str());
        EXPECT_EQ(unwritable.readFile(), FileReader::ERROR_HANDLER_CALL);
    }
}

// A copy large enough to go through the background writer, in both write modes.
TEST_F(FileReaderTest, LargeCopyInBothWriteModes)
{
    Bytes input = randomBytes(3 * FileReader::PIECE_SIZE + 12345, 9);
    for (fd_aio_mode mode : {FD_AIO_THREAD, FD_AIO_SYNC}) {
        fd_aio_mode saved = fd_aio_get_mode();
        fd_aio_set_mode(mode);
        ustring md4;
        int rc = pass(input, &md4);
        fd_aio_set_mode(saved);
        ASSERT_EQ(rc, 0);
        EXPECT_EQ(read("copy"), input);
        EXPECT_EQ(read("sig"), signatureInPieces(input, input.size()));
        uint8_t digest[MD4_DIGEST_BYTES];
        rs_md4(input.data(), input.size(), digest);
        EXPECT_EQ(md4, ustring(rs_md4_hex(digest).c_str()));
    }
}

TEST_F(FileReaderTest, BufferedReadNeedsExactCount)
{
    write("bio", Bytes{1, 2, 3, 4, 5, 6, 7});
    fd_t fd;
    ASSERT_EQ(fd_open_read(path("bio").c_str(), &fd), 0);
    fd_bio_t bio;
    fd_bio_load(&bio, fd, 4); // the buffer holds at most 4 bytes
    uint8_t out[10] = {};
    ASSERT_EQ(fd_bio_read(&bio, out, 2), 0); // buffer now holds 3 and 4
    EXPECT_EQ(out[1], 2);
    ASSERT_EQ(fd_bio_read(&bio, out, 4), 0); // 3, 4 from the buffer, refill, 5, 6
    EXPECT_EQ(out[3], 6);
    EXPECT_EQ(fd_bio_read(&bio, out, 10), -1); // only one byte left
    fd_bio_unload(&bio);
    fd_close(&fd);
    EXPECT_FALSE(fd_is_open(&fd));
}

} // namespace
