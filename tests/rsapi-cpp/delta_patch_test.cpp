// Delta generation against a signature and patch application, including the exact
// commands written and the handling of malformed signatures and deltas.
#include <gtest/gtest.h>

#include "rsapi-cpp/api.h"
#include "rsapi-cpp/byte-order.h"
#include "rsapi-cpp/md4.h"
#include "rsapi-test-files.h"

namespace
{

const Bytes DELTA_MAGIC = {0x72, 0x73, 0x02, 0x36};

class DeltaPatchTest : public RsapiFiles
{
protected:
    void signatureOf(const Bytes &basis, uint32_t block = 2048)
    {
        SimpleFileReader reader;
        reader.setFile(write("basis", basis).c_str());
        reader.setSignature(path("sig").c_str(), block, 8);
        ASSERT_EQ(reader.readFile(), 0);
    }

    // Delta of `input` against the current signature, fed to the handler in
    // pieces of `piece` bytes.
    Bytes deltaInPieces(const Bytes &input, size_t piece)
    {
        DeltaHandler handler(path("delta"), path("sig"));
        feedInPieces(handler, input, piece);
        return read("delta");
    }

    int patch(const Bytes &delta, ustring *md4 = nullptr, const std::atomic<bool> *stop = nullptr)
    {
        DeltaFileReader reader;
        reader.setFile(write("delta", delta).c_str(), path("basis").c_str());
        reader.setNewFile(path("new").c_str());
        if (md4)
            reader.setHashString(md4);
        reader.setSignature(path("new.sig").c_str(), 2048, 8);
        reader.setAbortFlag(stop);
        return reader.readFile();
    }
};

TEST_F(DeltaPatchTest, ExactCommands)
{
    Bytes b4096 = randomBytes(4096, 1), b4097 = randomBytes(4097, 2);
    Bytes l100 = randomBytes(100, 3), l64 = randomBytes(64, 4), l65 = randomBytes(65, 5),
          l300 = randomBytes(300, 6);
    struct Case {
        const char *name;
        Bytes basis, input, expect;
    } cases[] = {
        {"empty basis", {}, l100, concat({DELTA_MAGIC, {0x41, 100}, l100, {0}})},
        {"identical 4096", b4096, b4096, concat({DELTA_MAGIC, {0x46, 0, 0x10, 0, 0}})},
        {"identical 4097", b4097, b4097,
         concat({DELTA_MAGIC, {0x46, 0, 0x10, 0, 1, b4097[4096], 0}})},
        {"literal 64", {}, l64, concat({DELTA_MAGIC, {0x40}, l64, {0}})},
        {"literal 65", {}, l65, concat({DELTA_MAGIC, {0x41, 0x41}, l65, {0}})},
        {"literal 300", {}, l300, concat({DELTA_MAGIC, {0x42, 0x01, 0x2c}, l300, {0}})},
        {"empty input", b4096, {}, concat({DELTA_MAGIC, {0}})},
        // Second block first: a copy of block 1 (2-byte offset), then of block 0.
        {"swapped blocks", b4096,
         concat({Bytes(b4096.begin() + 2048, b4096.end()),
                 Bytes(b4096.begin(), b4096.begin() + 2048)}),
         concat({DELTA_MAGIC, {0x4a, 0x08, 0x00, 0x08, 0x00}, {0x46, 0x00, 0x08, 0x00}, {0}})},
    };
    for (const Case &c : cases) {
        signatureOf(c.basis);
        SimpleFileReader reader;
        reader.setFile(write("input", c.input).c_str());
        reader.setDelta(path("delta").c_str(), path("sig").c_str());
        ASSERT_EQ(reader.readFile(), 0) << c.name;
        EXPECT_EQ(read("delta"), c.expect) << c.name;
        ASSERT_EQ(patch(c.expect), 0) << c.name;
        EXPECT_EQ(read("new"), c.input) << c.name;
    }
}

// Edited copies of a basis patch back exactly, whatever pieces the delta was fed
// in (windows and literals spanning calls), with small and default blocks.
TEST_F(DeltaPatchTest, RoundTripOfEdits)
{
    Bytes basis = randomBytes(40000, 21);
    Bytes insert = randomBytes(777, 22);
    Bytes edited = concat({Bytes(basis.begin(), basis.begin() + 5000), insert,
                           Bytes(basis.begin() + 5000, basis.begin() + 20000),
                           Bytes(basis.begin() + 23001, basis.end())});
    for (size_t i = 30000; i < 30100; ++i)
        edited[i] ^= 0x5a;
    Bytes repeated(9000, 0x11); // many equal blocks share one weak sum
    for (uint32_t block : {2048u, 700u}) {
        for (const Bytes &input : {edited, repeated, insert}) {
            signatureOf(input == repeated ? Bytes(5000, 0x11) : basis, block);
            for (size_t piece : {1u, 999u, 4096u, 1u << 20}) {
                Bytes delta = deltaInPieces(input, piece);
                ustring md4;
                ASSERT_EQ(patch(delta, &md4), 0) << block << "/" << piece;
                ASSERT_EQ(read("new"), input) << block << "/" << piece;
                uint8_t digest[MD4_DIGEST_BYTES];
                rs_md4(input.data(), input.size(), digest);
                EXPECT_EQ(md4, ustring(rs_md4_hex(digest).c_str()));
            }
        }
    }
    // The result's signature came out of the same pass.
    Bytes fromPatch = read("new.sig");
    signatureOf(read("new"));
    EXPECT_EQ(fromPatch, read("sig"));
}

// Inputs of several pieces: the delta, signature and MD4 of one pass work on helper
// threads while the next piece is read, and must give what a plain pass gives.
TEST_F(DeltaPatchTest, MultiPiecePassesMatchPlainResults)
{
    const size_t size = 3 * FileReader::PIECE_SIZE + 12345;
    Bytes basis = randomBytes(size, 31);
    Bytes edited = basis;
    for (size_t at : {size_t(10), FileReader::PIECE_SIZE - 3, 2 * FileReader::PIECE_SIZE + 7,
                      size - 5})
        edited[at] ^= 0x5a;
    signatureOf(basis);
    uint8_t digest[MD4_DIGEST_BYTES];
    rs_md4(edited.data(), edited.size(), digest);
    const ustring expected_md4(rs_md4_hex(digest).c_str());

    // The upload's pass: hash, new signature and delta together.
    SimpleFileReader upload;
    upload.setFile(write("edited", edited).c_str());
    ustring md4;
    upload.setHashString(&md4);
    upload.setSignature(path("edited.sig").c_str(), 2048, 8);
    upload.setDelta(path("pass.delta").c_str(), path("sig").c_str());
    ASSERT_EQ(upload.readFile(), 0);
    EXPECT_EQ(md4, expected_md4);
    const Bytes delta = read("pass.delta");
    EXPECT_EQ(delta, deltaInPieces(edited, FileReader::PIECE_SIZE));
    EXPECT_LT(delta.size(), size / 100);

    // The download's pass: the patch rebuilds the file with its hash and signature.
    ustring patched_md4;
    ASSERT_EQ(patch(delta, &patched_md4), 0);
    EXPECT_EQ(read("new"), edited);
    EXPECT_EQ(patched_md4, expected_md4);
    EXPECT_EQ(read("new.sig"), read("edited.sig"));
}

// A matching block that lies past 4 GiB in the basis is described with an 8-byte
// offset, not a wrapped 32-bit one. The signature claims 1 MiB blocks, so a few
// thousand records reach that far without a large basis.
TEST_F(DeltaPatchTest, CopyOffsetsPastFourGiB)
{
    const uint32_t block = 1u << 20;
    const size_t index = 4097;
    Bytes window = randomBytes(block, 12);
    Bytes sig = {0x72, 0x73, 0x01, 0x36, 0x00, 0x10, 0x00, 0x00, 0, 0, 0, 8};
    sig.resize(12 + (index + 1) * 12, 0);
    uint8_t *rec = sig.data() + 12 + index * 12;
    rs_put_be32(rec, RSRollingChecksum::of(window.data(), block));
    uint8_t digest[MD4_DIGEST_BYTES];
    rs_md4(window.data(), block, digest);
    std::copy(digest, digest + 8, rec + 4);
    write("sig", sig);

    SimpleFileReader reader;
    reader.setFile(write("input", window).c_str());
    reader.setDelta(path("delta").c_str(), path("sig").c_str());
    ASSERT_EQ(reader.readFile(), 0);
    // 0x53: copy with an 8-byte offset and a 4-byte length.
    EXPECT_EQ(read("delta"),
              concat({DELTA_MAGIC, {0x53, 0, 0, 0, 0x01, 0x00, 0x10, 0, 0, 0, 0x10, 0, 0}, {0}}));
}

TEST_F(DeltaPatchTest, MalformedDeltas)
{
    write("basis", randomBytes(100, 8));
    struct Case {
        const char *name;
        Bytes delta;
        int code;
    } cases[] = {
        {"no magic", {}, FileReader::ERROR_SYSTEM_CALL},
        {"wrong magic", {0x72, 0x73, 0x01, 0x36, 0}, FileReader::ERROR_FILE_FORMAT},
        {"reserved command", concat({DELTA_MAGIC, {0x60}}), FileReader::ERROR_FILE_FORMAT},
        {"no END", concat({DELTA_MAGIC, {0x02, 'a', 'b'}}), FileReader::ERROR_SYSTEM_CALL},
        {"cut parameter", concat({DELTA_MAGIC, {0x49, 0x00}}), FileReader::ERROR_SYSTEM_CALL},
        {"cut literal", concat({DELTA_MAGIC, {0x43, 0xff, 0xff, 0xff, 0xff, 'a'}}),
         FileReader::ERROR_SYSTEM_CALL},
        {"copy past basis", concat({DELTA_MAGIC, {0x45, 90, 20, 0}}),
         FileReader::ERROR_SYSTEM_CALL},
        {"copy at huge offset",
         concat({DELTA_MAGIC, {0x51, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xf0, 0x20, 0}}),
         FileReader::ERROR_SYSTEM_CALL},
        {"huge copy length",
         concat({DELTA_MAGIC, {0x48, 0, 0x7f, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0}}),
         FileReader::ERROR_SYSTEM_CALL},
    };
    for (const Case &c : cases)
        EXPECT_EQ(patch(c.delta), c.code) << c.name;
}

TEST_F(DeltaPatchTest, WideFieldsAndArguments)
{
    Bytes basis = randomBytes(300, 9);
    write("basis", basis);
    // Copy with 8-byte offset and 8-byte length, then a literal with an 8-byte length.
    Bytes delta = concat({DELTA_MAGIC,
                          {0x54, 0, 0, 0, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0, 0, 0, 5},
                          {0x44, 0, 0, 0, 0, 0, 0, 0, 2, 'x', 'y'},
                          {0}});
    ASSERT_EQ(patch(delta), 0);
    EXPECT_EQ(read("new"), concat({Bytes(basis.begin() + 10, basis.begin() + 15), {'x', 'y'}}));

    std::atomic<bool> stop{true};
    EXPECT_EQ(patch(delta, nullptr, &stop), FileReader::ERROR_ABORT);

    DeltaFileReader noPaths;
    EXPECT_EQ(noPaths.readFile(), FileReader::ERROR_ARGUMENT);
}

TEST_F(DeltaPatchTest, MalformedSignatures)
{
    Bytes header = {0x72, 0x73, 0x01, 0x36, 0, 0, 0x08, 0, 0, 0, 0, 0x08};
    auto with = [&](size_t at, uint8_t value) {
        Bytes h = header;
        h[at] = value;
        return h;
    };
    auto withBlock = [&](uint32_t size) {
        Bytes h = header;
        rs_put_be32(h.data() + 4, size);
        return concat({h, randomBytes(24, 1)});
    };
    struct Case {
        const char *name;
        Bytes sig;
        int code;
    } cases[] = {
        {"short header", Bytes(header.begin(), header.begin() + 5), FileReader::ERROR_FILE_FORMAT},
        {"delta magic", with(2, 0x02), FileReader::ERROR_FILE_FORMAT},
        {"block size 0", with(6, 0), FileReader::ERROR_FILE_FORMAT},
        {"hash size 0", with(11, 0), FileReader::ERROR_FILE_FORMAT},
        {"hash size 17", with(11, 17), FileReader::ERROR_FILE_FORMAT},
        // A partial last record is ignored: the delta is all literal.
        {"partial record", concat({header, {1, 2, 3}}), 0},
        {"block size over 64 MiB", withBlock((1u << 26) + 1), FileReader::ERROR_FILE_FORMAT},
        {"block size 64 MiB", withBlock(1u << 26), 0},
    };
    for (const Case &c : cases) {
        write("sig", c.sig);
        SimpleFileReader reader;
        reader.setFile(write("input", randomBytes(5000, 4)).c_str());
        reader.setDelta(path("delta").c_str(), path("sig").c_str());
        EXPECT_EQ(reader.readFile(), c.code) << c.name;
    }
    SimpleFileReader missing;
    missing.setFile(path("input").c_str());
    missing.setDelta(path("delta").c_str(), path("absent.sig").c_str());
    EXPECT_EQ(missing.readFile(), FileReader::ERROR_HANDLER_CALL);
}

} // namespace
