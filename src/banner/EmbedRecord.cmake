# Turns a binary file into a C++ source defining pagestow::banner::DefaultBannerRecord().
#     cmake -DINPUT=record.bin -DOUTPUT=record.cpp -P EmbedRecord.cmake
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){20})" "\\1\n    " bytes "${bytes}")
file(WRITE "${OUTPUT}" "// Made from DEFAULTGG.bin by EmbedRecord.cmake; do not edit.
#include \"banner/Banner.h\"

namespace pagestow::banner {
namespace {
    const std::uint8_t kDefaultgg[${size}] = {
    ${bytes}
    };
} // namespace

std::span<const std::uint8_t> DefaultBannerRecord()
{
    return kDefaultgg;
}

} // namespace pagestow::banner
")
