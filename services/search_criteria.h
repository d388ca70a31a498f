// The SearchCriteria language: comparisons such as `dc:title contains "night"` joined by
// "and" (binding tighter) and "or", both grouping from the left, with parenthesised groups.
// A text is read once into a CriteriaProgram and then evaluated against any number of objects.
#pragma once

#include <cstdint>

#include "media_db/media_db.h"

// Caps on what one criteria may cost; a text beyond them is malformed.
// Real criteria are a few hundred bytes; anything longer is not worth reading.
constexpr int kCriteriaMaxLength = 16 * 1024;
// Comparisons, connectives and groups together; bounds the nodes and the work per object.
constexpr int kCriteriaMaxNodes = 1024;
// Compiling and evaluating recurse once per group level on the connection thread's stack.
constexpr int kCriteriaMaxDepth = 32;
// The longest operand kept; the rest of a longer one is skipped.
constexpr int kCriteriaMaxOperand = 1023;

struct CriteriaNode;

// The compiled form: the nodes in text order, each group followed by its members, and the
// operand texts. Its size follows the text's length; nothing is reserved per group.
struct CriteriaProgram {
    // 1: everything matches ("*"); 0: nothing matches (missing or empty text); 2: the nodes
    // decide; -1: the text is malformed; -2: memory ran short while reading it.
    int status;
    CriteriaNode* nodes;
    int32_t count;
    int32_t capacity;
    char* operands; // every operand, NUL-terminated, one after another
    int32_t operandsUsed;
};

// Reads `criteria` into `program`; returns the status. Release the program afterwards, also
// when reading failed. Malformed: longer than kCriteriaMaxLength, more than kCriteriaMaxNodes
// nodes, groups nested deeper than kCriteriaMaxDepth, unbalanced '(' or an unclosed quote
// inside a group, an unknown property or operator, a connective without an operand on each side.
int criteria_compile(const char* criteria, CriteriaProgram* program);
void criteria_release(CriteriaProgram* program);

// 1 when the object satisfies the program, 0 when not; the program's negative status when it
// could not be read. nullptr object: 0. Stops at the first operand that settles a connective.
// The caller holds a catalogue lock.
int criteria_evaluate(const CriteriaProgram* program, const MediaObject* object);

// criteria_compile, criteria_evaluate and criteria_release in one: 1, 0, -1 or -2.
int criteria_match(const MediaObject* object, const char* criteria);

// The operator at *position (after blanks): one of "=", "!=", "<=", "<", ">=", ">",
// "contains", "doesNotContain", "derivedfrom", "exists" followed by at least one more
// character; *position moves past it. nullptr when there is none.
const char* criteria_next_operator(const char* criteria, int* position);

// The operand at *position (after blanks): a double-quoted string in which '\' makes the next
// character literal, or a bare word up to the next blank; at most kCriteriaMaxOperand
// characters are kept. *position moves past it. Returns a new text the caller frees, nullptr
// when memory is short.
char* criteria_next_value(const char* criteria, int* position);

// 1 when `value` (nullptr: absent) stands in relation `op` to `operand`, else 0. With
// `numeric` set both sides are compared as decimal numbers and the text operators give 0.
int criteria_compare(const char* value, const char* op, const char* operand, int numeric);

// One symbol of a compiled level as the evaluation sees it, for checks of the evaluator:
// 'c' comparison or constant, 'g' group, '&' and '|' connectives.
enum CriteriaNodeKind : char {
    kCriteriaConstant = 'c',
    kCriteriaComparison = 'x',
    kCriteriaGroup = 'g',
    kCriteriaAnd = '&',
    kCriteriaOr = '|',
};

struct CriteriaNode {
    CriteriaNodeKind kind;
    char constant;        // kCriteriaConstant: '0' or '1'
    signed char property; // kCriteriaComparison: a property, or -1 for a name not known
    signed char op;
    int32_t end;      // the index just past this node and, for a group, its members
    int32_t operand;  // offset of the operand text in `operands`
    long long number; // the operand read as a decimal number
};

// The truth value of one comparison or constant node, for checks of the evaluator.
bool criteria_node_value(const CriteriaProgram* program, int32_t index, const MediaObject* object);
