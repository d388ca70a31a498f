#include "services/search_criteria.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/utf8.h"
#include "services/criteria_internal.h"
#include "services/didl_lite.h"

namespace {

struct NamedProperty {
    const char* name;
    int length;
};

// Tested in this order, as prefixes of the text at a comparison.
constexpr NamedProperty kProperties[] = {
    {"dc:title", 8},
    {"dc:creator", 10},
    {"upnp:artist", 11},
    {"upnp:album", 10},
    {"dc:date", 7},
    {"upnp:class", 10},
    {"upnp:originalTrackNumber", 24},
    {"@id", 3},
    {"@parentID", 9},
    {"upnp:genre", 10},
    {"@refID", 6},
};
constexpr int kPropertyCount = sizeof kProperties / sizeof kProperties[0];

// Tried in this order; "<=" before "<" and ">=" before ">".
constexpr const char* kOperators[] = {
    "=", "!=", "<=", "<", ">=", ">", "contains", "doesNotContain", "derivedfrom", "exists",
};
constexpr int kOperatorCount = sizeof kOperators / sizeof kOperators[0];

int operatorIndex(const char* op) {
    for (int i = 0; i < kOperatorCount; i++) {
        if (op != nullptr && std::strcmp(op, kOperators[i]) == 0) {
            return i;
        }
    }
    return -1;
}

} // namespace

int criteria_compare_text(const char* value, int op, const char* operand) {
    if (op == kExists) {
        return (std::strcmp(operand, "true") == 0) == (value != nullptr);
    }
    if (value == nullptr) {
        return 0;
    }
    int order = std::strcmp(value, operand);
    switch (op) {
    case kEqual:
        return order == 0;
    case kNotEqual:
        return order != 0;
    case kLessEqual:
        return order <= 0;
    case kLess:
        return order < 0;
    case kGreaterEqual:
        return order >= 0;
    case kGreater:
        return order > 0;
    // Containment folds letter case (a listener typing "night" means "Night Train"); equality,
    // order and class names stay exact.
    case kDoesNotContain:
        return !utf8ContainsFolded(value, operand);
    case kContains:
        return utf8ContainsFolded(value, operand);
    case kDerivedFrom:
        return std::strstr(value, operand) != nullptr;
    default:
        return 0;
    }
}

namespace {

int compareNumber(bool present, long long value, int op, const char* operand, long long number) {
    if (op == kExists) {
        return (std::strcmp(operand, "true") == 0) == present;
    }
    if (!present) {
        return 0;
    }
    switch (op) {
    case kEqual:
        return value == number;
    case kNotEqual:
        return value != number;
    case kLessEqual:
        return value <= number;
    case kLess:
        return value < number;
    case kGreaterEqual:
        return value >= number;
    case kGreater:
        return value > number;
    default:
        return 0;
    }
}

} // namespace

namespace {

// One pass over the text: each level appends its nodes; a group's members follow it.
struct Reader {
    const char* text;
    CriteriaProgram* program;
    int operandsCapacity;
};

int32_t appendNode(CriteriaProgram* program) {
    if (program->count == kCriteriaMaxNodes) {
        return -1;
    }
    if (program->count == program->capacity) {
        int32_t capacity = program->capacity == 0 ? 16 : program->capacity * 2;
        if (capacity > kCriteriaMaxNodes) {
            capacity = kCriteriaMaxNodes;
        }
        auto* nodes = static_cast<CriteriaNode*>(
            std::realloc(program->nodes, sizeof(CriteriaNode) * static_cast<size_t>(capacity)));
        if (nodes == nullptr) {
            return -2;
        }
        program->nodes = nodes;
        program->capacity = capacity;
    }
    int32_t index = program->count++;
    program->nodes[index] = CriteriaNode{kCriteriaConstant, '0', -1, -1, index + 1, 0, 0};
    return index;
}

int readLevel(Reader* reader, int begin, int end, int depth);

// The ')' that closes the '(' at text[open] before `end`; quoted strings (with '\' escapes)
// are skipped. -1 when `end` comes first.
int matchingParenthesis(const char* text, int open, int end) {
    int depth = 0;
    for (int i = open; i < end; i++) {
        if (text[i] == '"') {
            for (i++; i < end && text[i] != '"'; i++) {
                if (text[i] == '\\' && i + 1 < end) {
                    i++;
                }
            }
            if (i >= end) {
                return -1;
            }
        } else if (text[i] == '(') {
            depth++;
        } else if (text[i] == ')' && --depth == 0) {
            return i;
        }
    }
    return -1;
}

// Reads the group at text[*position] == '(' into node `index` and its members after it.
int readGroup(Reader* reader, int* position, int end, int depth, int32_t index) {
    int close = matchingParenthesis(reader->text, *position, end);
    if (close < 0) {
        return -1;
    }
    int inner = *position + 1;
    *position = close + 1;
    CriteriaNode* node = &reader->program->nodes[index];
    if (inner == close || reader->text[inner] == '*') {
        node->constant = inner == close ? '0' : '1';
        return 0;
    }
    if (depth >= kCriteriaMaxDepth) {
        return -1;
    }
    node->kind = kCriteriaGroup;
    int status = readLevel(reader, inner, close, depth + 1);
    reader->program->nodes[index].end = reader->program->count;
    return status;
}

bool startsWith(const char* text, int at, int end, const char* word, int length) {
    return end - at >= length && std::memcmp(text + at, word, static_cast<size_t>(length)) == 0;
}

int skipSpaces(const char* text, int at, int end) {
    while (at < end && text[at] == ' ') {
        at++;
    }
    return at;
}

// The operator at `at` (after blanks) that has at least one character after it before `end`.
int readOperator(const char* text, int* position, int end) {
    int at = skipSpaces(text, *position, end);
    for (int i = 0; i < kOperatorCount; i++) {
        int length = static_cast<int>(std::strlen(kOperators[i]));
        if (startsWith(text, at, end, kOperators[i], length) && at + length < end) {
            *position = at + length;
            return i;
        }
    }
    return -1;
}

// Copies the operand at *position (after blanks) into `out`, at most kCriteriaMaxOperand
// characters and a NUL; returns the number of characters kept.
int readOperand(const char* text, int* position, int end, char* out) {
    int length = 0;
    int at = skipSpaces(text, *position, end);
    bool quoted = at < end && text[at] == '"';
    if (quoted) {
        at++;
    }
    for (; at < end && text[at] != (quoted ? '"' : ' '); at++) {
        if (quoted && text[at] == '\\' && at + 1 < end) {
            at++;
        }
        if (length < kCriteriaMaxOperand) {
            out[length++] = text[at];
        }
    }
    if (at < end) {
        at++; // the closing quote, or the blank after a bare operand
    }
    out[length] = '\0';
    *position = at;
    return length;
}

int readComparison(Reader* reader, int* position, int end, int32_t index) {
    const char* text = reader->text;
    CriteriaProgram* program = reader->program;
    CriteriaNode* node = &program->nodes[index];
    node->kind = kCriteriaComparison;
    for (int i = 0; i < kPropertyCount; i++) {
        if (startsWith(text, *position, end, kProperties[i].name, kProperties[i].length)) {
            node->property = static_cast<signed char>(i);
            *position += kProperties[i].length;
            break;
        }
    }
    int op = readOperator(text, position, end);
    if (op < 0) {
        return -1;
    }
    node->op = static_cast<signed char>(op);
    *position += 1; // the blank the grammar puts after an operator
    // An operand never takes more room than the characters left plus its NUL; the operator
    // before it took at least two that were not copied, so the text's length always suffices.
    if (program->operandsUsed + (end - *position) + 1 > reader->operandsCapacity) {
        return -2;
    }
    char* out = program->operands + program->operandsUsed;
    int length = readOperand(text, position, end, out);
    node->operand = program->operandsUsed;
    node->number = std::strtoll(out, nullptr, 10);
    program->operandsUsed += length + 1;
    return 0;
}

bool isConnective(const CriteriaNode* node) {
    return node->kind == kCriteriaAnd || node->kind == kCriteriaOr;
}

// Every connective of the level starting at node `first` needs an operand on each side.
bool connectivesHaveOperands(const CriteriaProgram* program, int32_t first) {
    const CriteriaNode* previous = nullptr;
    for (int32_t i = first; i < program->count; i = program->nodes[i].end) {
        const CriteriaNode* node = &program->nodes[i];
        bool connective = isConnective(node);
        if (connective && (previous == nullptr || isConnective(previous))) {
            return false;
        }
        previous = node;
    }
    return previous == nullptr || !isConnective(previous);
}

// Reads the symbols of text[begin, end) as one level.
int readLevel(Reader* reader, int begin, int end, int depth) {
    const char* text = reader->text;
    int32_t first = reader->program->count;
    int position = begin;
    while (position < end) {
        if (static_cast<unsigned char>(text[position]) <= 0x20) {
            position++;
            continue;
        }
        int32_t index = appendNode(reader->program);
        if (index < 0) {
            return index;
        }
        CriteriaNode* node = &reader->program->nodes[index];
        int status = 0;
        if (text[position] == '(') {
            status = readGroup(reader, &position, end, depth, index);
        } else if (startsWith(text, position, end, "and", 3)) {
            node->kind = kCriteriaAnd;
            position += 3;
        } else if (startsWith(text, position, end, "or", 2)) {
            node->kind = kCriteriaOr;
            position += 2;
        } else {
            status = readComparison(reader, &position, end, index);
        }
        if (status < 0) {
            return status;
        }
    }
    return connectivesHaveOperands(reader->program, first) ? 0 : -1;
}

// The value of a text property, or of an id written into `area` (24 bytes); nullptr: none.
const char* textValue(const MediaObject* object, int property, char* area) {
    const MediaObject* item = member_item(object);
    bool container = object->kind == 'c';
    int64_t id = 0;
    switch (property) {
    case kTitle:
        return container ? object->title : (item != nullptr ? item->title : nullptr);
    case kClass:
        return container ? object->upnp_class : (item != nullptr ? item->upnp_class : nullptr);
    case kCreator:
    case kArtist:
        return item != nullptr ? item->artist : nullptr;
    case kAlbum:
        return item != nullptr ? item->album : nullptr;
    case kDate:
        return item != nullptr ? item->date : nullptr;
    case kGenre:
        return item != nullptr ? item->genre : nullptr;
    case kId:
        id = media_db_object_id(object);
        break;
    case kParentId:
        id = object->parent != nullptr ? media_db_object_id(object->parent) : -1;
        break;
    case kRefId:
        if (object->kind != 'r' || object->target == nullptr) {
            return nullptr;
        }
        id = media_db_object_id(object->target);
        break;
    default:
        return nullptr;
    }
    std::snprintf(area, 24, "%" PRId64, id);
    return area;
}

bool evaluateComparison(const CriteriaProgram* program, const CriteriaNode* node,
                        const MediaObject* object) {
    const char* operand = program->operands + node->operand;
    if (node->property == kTrackNumber) {
        const MediaObject* item = member_item(object);
        long long value = item != nullptr ? item->track_number : 0;
        return compareNumber(item != nullptr, value, node->op, operand, node->number) != 0;
    }
    char area[24];
    const char* value = node->property < 0 ? nullptr : textValue(object, node->property, area);
    return criteria_compare_text(value, node->op, operand) != 0;
}

bool evaluateLevel(const CriteriaProgram* program, int32_t begin, int32_t end,
                   const MediaObject* object);

bool evaluateOperand(const CriteriaProgram* program, int32_t index, const MediaObject* object) {
    const CriteriaNode* node = &program->nodes[index];
    if (node->kind == kCriteriaGroup) {
        return evaluateLevel(program, index + 1, node->end, object);
    }
    return criteria_node_value(program, index, object);
}

// The level's first chain of operands joined by connectives decides; "and" binds tighter.
// Reading stops as soon as the outcome is known: a true "and" run before an "or" settles the
// chain, and a false operand skips the rest of its "and" run. Operands after the first chain
// (a comparison with no connective before it) never count, as when the symbols are folded.
bool evaluateLevel(const CriteriaProgram* program, int32_t begin, int32_t end,
                   const MediaObject* object) {
    if (begin >= end) {
        return false;
    }
    bool run = true;
    for (int32_t i = begin;;) {
        if (run) {
            run = evaluateOperand(program, i, object);
        }
        i = program->nodes[i].end;
        if (i >= end || !isConnective(&program->nodes[i])) {
            return run;
        }
        if (program->nodes[i].kind == kCriteriaOr) {
            if (run) {
                return true;
            }
            run = true;
        }
        i++;
    }
}

} // namespace

bool criteria_node_value(const CriteriaProgram* program, int32_t index, const MediaObject* object) {
    const CriteriaNode* node = &program->nodes[index];
    if (node->kind == kCriteriaConstant) {
        return node->constant == '1';
    }
    return node->kind == kCriteriaComparison && evaluateComparison(program, node, object);
}

int criteria_compile(const char* criteria, CriteriaProgram* program) {
    *program = CriteriaProgram{0, nullptr, 0, 0, nullptr, 0};
    if (criteria == nullptr || criteria[0] == '\0') {
        return program->status = 0;
    }
    const void* nul = std::memchr(criteria, '\0', kCriteriaMaxLength + 1);
    if (nul == nullptr) {
        return program->status = -1;
    }
    if (criteria[0] == '*') {
        return program->status = 1;
    }
    int length = static_cast<int>(static_cast<const char*>(nul) - criteria);
    Reader reader{criteria, program, length + 1};
    program->operands = static_cast<char*>(std::malloc(static_cast<size_t>(length) + 1));
    if (program->operands == nullptr) {
        return program->status = -2;
    }
    int status = readLevel(&reader, 0, length, 0);
    return program->status = status < 0 ? status : 2;
}

void criteria_release(CriteriaProgram* program) {
    std::free(program->nodes);
    std::free(program->operands);
    program->nodes = nullptr;
    program->operands = nullptr;
    program->count = 0;
    program->capacity = 0;
}

int criteria_evaluate(const CriteriaProgram* program, const MediaObject* object) {
    if (object == nullptr) {
        return 0;
    }
    if (program->status != 2) {
        return program->status;
    }
    return evaluateLevel(program, 0, program->count, object) ? 1 : 0;
}

int criteria_match(const MediaObject* object, const char* criteria) {
    if (object == nullptr) {
        return 0;
    }
    CriteriaProgram program;
    criteria_compile(criteria, &program);
    int result = criteria_evaluate(&program, object);
    criteria_release(&program);
    return result;
}

const char* criteria_next_operator(const char* criteria, int* position) {
    int op = readOperator(criteria, position, static_cast<int>(std::strlen(criteria)));
    return op < 0 ? nullptr : kOperators[op];
}

char* criteria_next_value(const char* criteria, int* position) {
    char value[kCriteriaMaxOperand + 1];
    int length = readOperand(criteria, position, static_cast<int>(std::strlen(criteria)), value);
    char* copy = static_cast<char*>(std::malloc(static_cast<size_t>(length) + 1));
    if (copy != nullptr) {
        std::memcpy(copy, value, static_cast<size_t>(length) + 1);
    }
    return copy;
}

int criteria_compare(const char* value, const char* op, const char* operand, int numeric) {
    int index = operatorIndex(op);
    if (index < 0 || operand == nullptr) {
        return 0;
    }
    if (!numeric) {
        return criteria_compare_text(value, index, operand);
    }
    long long number = value != nullptr ? std::strtoll(value, nullptr, 10) : 0;
    return compareNumber(value != nullptr, number, index, operand,
                         std::strtoll(operand, nullptr, 10));
}
