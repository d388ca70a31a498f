// The SearchCriteria language: comparisons such as `dc:title contains "night"` joined by
// "and" (binding tighter) and "or", both grouping from the left, with parenthesised groups.
// A text is read once into a CriteriaProgram and then evaluated against any number of objects.
#pragma once

#include "media_db/media_db.h"

struct CriteriaGroup;

struct CriteriaProgram {
    // 1: everything matches ("*"); 0: nothing matches (missing or empty text); 2: `group`
    // decides; -1: the text is malformed; -2: memory ran short while reading it.
    int status;
    CriteriaGroup* group;
};

// Reads `criteria` into `program`; returns the status. Release the program afterwards, also
// when reading failed. Malformed: unbalanced '(' or an unclosed quote inside a group, an
// unknown property or operator, a connective without an operand on each side, more than 127
// symbols at one level, or groups nested deeper than 32.
int criteria_compile(const char* criteria, CriteriaProgram* program);
void criteria_release(CriteriaProgram* program);

// 1 when the object satisfies the program, 0 when not; the program's negative status when it
// could not be read. nullptr object: 0. The caller holds a catalogue lock.
int criteria_evaluate(const CriteriaProgram* program, const MediaObject* object);

// criteria_compile, criteria_evaluate and criteria_release in one: 1, 0, -1 or -2.
int criteria_match(const MediaObject* object, const char* criteria);

// The operator at *position (after blanks): one of "=", "!=", "<=", "<", ">=", ">",
// "contains", "doesNotContain", "derivedfrom", "exists" followed by at least one more
// character; *position moves past it. nullptr when there is none.
const char* criteria_next_operator(const char* criteria, int* position);

// The operand at *position (after blanks): a double-quoted string in which '\' makes the next
// character literal, or a bare word up to the next blank; at most 1,023 characters are kept.
// *position moves past it. Returns a new text the caller frees, nullptr when memory is short.
char* criteria_next_value(const char* criteria, int* position);

// 1 when `value` (nullptr: absent) stands in relation `op` to `operand`, else 0. With
// `numeric` set both sides are compared as decimal numbers and the text operators give 0.
int criteria_compare(const char* value, const char* op, const char* operand, int numeric);
