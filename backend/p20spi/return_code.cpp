#include "backend/p20spi/return_code.h"

#include <algorithm>
#include <iterator>

namespace P20SPI {

namespace {

struct SCodeText {
    int code;
    const char* text;
};

// The spellings are the amplifier family's own and are shown to users as they are.
constexpr SCodeText kCodeTexts[] = {
    {0, "Ok"},
    {1, "No acknowledge returned"},
    {2, "Acknowledge in payload"},
    {3, "No model"},
    {4, "Receiver returned parameter not for me"},
    {5, "Parameter state mismatch"},
    {6, "Parameter accepted"},
    {7, "Parameter limited"},
    {8, "Parameter rejected"},
    {9, "Parameter locked"},
    {10, "Parameter read only"},
    {-1, "Unspecified error"},
    {-2, "Missing argument(s)"},
    {-3, "Bad argument(s)"},
    {-4, "Buffer to small"},
    {-5, "Bad message"},
    {-6, "Message heap error"},
    {-7, "Block error"},
    {-8, "Write error"},
    {-9, "Read error"},
    {-10, "Bad address"},
    {-11, "Unsupported operation"},
    {-12, "Memory allocation error"},
    {-13, "Overflow"},
    {-20, "Bad sequence tag"},
    {-21, "Not supprted tag"},
    {-22, "Unknown tag"},
    {-23, "Wrong tag"},
    {-30, "Message unknown"},
    {-100, "No such endpoint"},
    {-101, "Receiver busy"},
    {-102, "No such rm endpoint"},
};

}  // namespace

const char* CParamReturnCode::text_of(int code) {
    const auto it = std::find_if(std::begin(kCodeTexts), std::end(kCodeTexts),
                                 [code](const SCodeText& entry) { return entry.code == code; });
    return it == std::end(kCodeTexts) ? "Unknown error code" : it->text;
}

}  // namespace P20SPI
