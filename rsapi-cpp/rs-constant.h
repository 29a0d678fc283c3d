// Magic numbers and the command byte table of the signature and delta formats.
#ifndef AEROLITH_RSAPI_RS_CONSTANT_H
#define AEROLITH_RSAPI_RS_CONSTANT_H

#include <cstdint>

class RSConstant
{
public:
    static constexpr uint32_t MAGIC_DELTA = 0x72730236;
    static constexpr uint32_t MAGIC_SIGNATURE = 0x72730136;

    enum CmdType : uint8_t { CMD_END = 0, CMD_LITERAL = 1, CMD_COPY = 2, CMD_RESERVED = 3 };

    enum Op : uint8_t {
        OP_END = 0x00,
        OP_LITERAL_N1 = 0x41,
        OP_LITERAL_N2 = 0x42,
        OP_LITERAL_N4 = 0x43,
        OP_LITERAL_N8 = 0x44,
        OP_COPY_N1_N1 = 0x45,
        OP_COPY_N2_N1 = 0x49,
        OP_COPY_N4_N1 = 0x4D,
        OP_COPY_N8_N1 = 0x51,
    };

    // One row per command byte: the type, the length carried in the byte itself
    // (short literals) and the widths of the parameters that follow.
    struct CmdInfo {
        uint8_t type;
        uint8_t immediate;
        uint8_t len_1;
        uint8_t len_2;
    };

    static const CmdInfo &getInfo(uint8_t byte);
};

#endif
