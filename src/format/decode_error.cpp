#include "format/decode_error.h"

namespace zelkor::format {

namespace {

std::string utf8_fault_text(const Utf8Fault& fault) {
    if (fault.length == 0) return "incomplete utf-8 byte sequence from index " + std::to_string(fault.index);
    return "invalid utf-8 sequence of " + std::to_string(fault.length) + " bytes from index " +
           std::to_string(fault.index);
}

std::string hex_byte(uint64_t value) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text += digits[(value >> 4) & 0xF];
    text += digits[value & 0xF];
    return text;
}

std::string compose(DecodeError error, uint64_t number, const Utf8Fault& utf8) {
    const ErrorText& entry = error_text(error);
    std::string text(entry.text);
    switch (entry.detail) {
        case Detail::Nothing:
            break;
        case Detail::Decimal:
            text += std::to_string(number);
            break;
        case Detail::HexByte:
            text += hex_byte(number);
            break;
        case Detail::Utf8Fault:
            text += utf8_fault_text(utf8);
            break;
    }
    return text;
}

}  // namespace

std::string DecodeFailure::message() const {
    return compose(error, number, utf8);
}

std::string error_message(DecodeError error, uint64_t number) {
    return compose(error, number, Utf8Fault{});
}

}  // namespace zelkor::format
