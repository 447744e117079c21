// Reading what an RTD server answers, as rtdwatch prints it. Plain C++ with
// no Windows headers, so the native tests can use it: the Windows side
// copies each VARIANT out of the SAFEARRAY into an RtdCell.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

// The VARIANT types an RTD answer may hold (their values in the Windows SDK).
enum : uint16_t { RTD_VT_I4 = 3, RTD_VT_R8 = 5, RTD_VT_BSTR = 8, RTD_VT_ERROR = 10 };

// What Excel shows as #N/A, as a VT_ERROR scode.
constexpr uint32_t RTD_NA = 0x800A07FAu;

struct RtdCell {
    uint16_t type = 0;   // the VARIANT's vt
    int32_t i4 = 0;      // RTD_VT_I4
    double r8 = 0;       // RTD_VT_R8
    std::u16string text; // RTD_VT_BSTR
    uint32_t scode = 0;  // RTD_VT_ERROR
};

// RefreshData's answer as copied: the array's dimensions with their lower
// bounds and element counts (dimension 1 first), whether its elements are
// VARIANTs, the elements (row r of column c at c * 2 + r), and *TopicCount.
struct RefreshAnswer {
    unsigned dims = 0;
    bool variants = false;
    long lower[2] = {0, 0};
    unsigned long count[2] = {0, 0};
    std::vector<RtdCell> cells;
    long topic_count = 0;
};

struct TopicValue {
    long topic;
    std::string value; // as format_value gives it
};

// Reads a RefreshData answer strictly: two dimensions of VARIANTs, the
// first [0..1], the second [0..n-1] with n equal to topic_count; row 0 the
// topic IDs (VT_I4), each one of `topics` and each once; row 1 the values,
// as format_value takes them. True with one TopicValue per column, in
// order; false, with *why and *out unchanged, otherwise.
bool decode_refresh(const RefreshAnswer &answer, const std::set<long> &topics, std::vector<TopicValue> *out,
                    std::string *why);

// A topic's value as one line's end: a number (VT_R8) in the shortest form
// that reads back as the same double; a text (VT_BSTR) in UTF-8, in double
// quotes with inner quotes doubled and control characters as \xHH; #N/A
// for Excel's error (VT_ERROR 0x800A07FA), other errors as #ERROR(0x...).
// False for any other type.
bool format_value(const RtdCell &cell, std::string *out);
