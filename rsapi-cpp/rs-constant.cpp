#include "rsapi-cpp/rs-constant.h"

#include <array>

namespace
{

constexpr uint8_t WIDTHS[4] = {1, 2, 4, 8};

constexpr std::array<RSConstant::CmdInfo, 256> buildTable()
{
    std::array<RSConstant::CmdInfo, 256> table{};
    for (int byte = 0; byte < 256; ++byte) {
        RSConstant::CmdInfo info{RSConstant::CMD_RESERVED, 0, 0, 0};
        if (byte == 0) {
            info = {RSConstant::CMD_END, 0, 0, 0};
        } else if (byte <= 0x40) {
            info = {RSConstant::CMD_LITERAL, static_cast<uint8_t>(byte), 0, 0};
        } else if (byte <= RSConstant::OP_LITERAL_N8) {
            info = {RSConstant::CMD_LITERAL, 0, WIDTHS[byte - RSConstant::OP_LITERAL_N1], 0};
        } else if (byte <= 0x54) {
            int k = byte - RSConstant::OP_COPY_N1_N1;
            info = {RSConstant::CMD_COPY, 0, WIDTHS[k / 4], WIDTHS[k % 4]};
        }
        table[byte] = info;
    }
    return table;
}

constexpr std::array<RSConstant::CmdInfo, 256> TABLE = buildTable();

} // namespace

const RSConstant::CmdInfo &RSConstant::getInfo(uint8_t byte)
{
    return TABLE[byte];
}
