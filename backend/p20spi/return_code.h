// The signed 8-bit return code that an amplifier puts into every parameter response, and
// its text. Codes 0 ("Ok") and 6 ("Parameter accepted") count as success for reads and
// writes; every other code is passed up to the caller unchanged.
//
// Thread safety: a plain value; the text table is constant.
#pragma once

#include <cstdint>
#include <string>

namespace P20SPI {

class CParamReturnCode {
public:
    CParamReturnCode() = default;
    explicit CParamReturnCode(int code) : code_(code) {}

    int code() const { return code_; }
    void set_code(int code) { code_ = code; }

    // The code's text, "Unknown error code" for a code without one.
    const char* text() const { return text_of(code_); }
    static const char* text_of(int code);

    // 0 and 6 are what a successful read or write answers.
    bool is_success() const { return code_ == 0 || code_ == 6; }

private:
    int code_ = 0;
};

}  // namespace P20SPI
