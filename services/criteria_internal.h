// Private to the criteria code: a compiled criteria, as search_criteria.cpp reads it and the
// index search (search_indexed.cpp) evaluates it for every row at once.
#pragma once

#include "services/search_criteria.h"

constexpr int kMaxSymbols = 127;

enum Property {
    kTitle,
    kCreator,
    kArtist,
    kAlbum,
    kDate,
    kClass,
    kTrackNumber,
    kId,
    kParentId,
    kGenre,
    kRefId,
};

enum Operator {
    kEqual,
    kNotEqual,
    kLessEqual,
    kLess,
    kGreaterEqual,
    kGreater,
    kContains,
    kDoesNotContain,
    kDerivedFrom,
    kExists,
};

enum CriteriaNodeKind : char { kConstant, kAnd, kOr, kComparison, kGroup };

struct CriteriaNode {
    CriteriaNodeKind kind;
    char constant;        // kConstant: '0' or '1'
    signed char property; // kComparison: a Property, or -1 for a name not in the table
    signed char op;
    char* operand;
    long long number; // the operand read as a decimal number
    CriteriaGroup* group;
};

struct CriteriaGroup {
    int count;
    CriteriaNode nodes[kMaxSymbols];
};

// 1 when the text `value` (nullptr: absent) stands in relation `op` (an Operator) to
// `operand`, else 0.
int criteria_compare_text(const char* value, int op, const char* operand);
