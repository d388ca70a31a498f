// Private to the criteria code: the properties and operators of compiled comparisons, as
// search_criteria.cpp reads them and the index search (search_indexed.cpp) evaluates them for
// every row at once.
#pragma once

#include "services/search_criteria.h"

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

// 1 when the text `value` (nullptr: absent) stands in relation `op` (an Operator) to
// `operand`, else 0.
int criteria_compare_text(const char* value, int op, const char* operand);
