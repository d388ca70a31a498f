#include "services/search_criteria.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/utf8.h"
#include "services/criteria_internal.h"
#include "services/didl_lite.h"

namespace {

constexpr int kMaxDepth = 32;
constexpr int kMaxOperand = 1023;

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

void freeGroup(CriteriaGroup* group) {
    if (group == nullptr) {
        return;
    }
    for (int i = 0; i < group->count; i++) {
        std::free(group->nodes[i].operand);
        freeGroup(group->nodes[i].group);
    }
    std::free(group);
}

int compileGroup(const char* text, int depth, CriteriaGroup** out);

// The ')' that closes the '(' at text[open]; quoted strings (with '\' escapes) are skipped.
// -1 when the text ends first.
int matchingParenthesis(const char* text, int open) {
    int depth = 0;
    for (int i = open; text[i] != '\0'; i++) {
        if (text[i] == '"') {
            for (i++; text[i] != '"'; i++) {
                if (text[i] == '\0') {
                    return -1;
                }
                if (text[i] == '\\' && text[i + 1] != '\0') {
                    i++;
                }
            }
        } else if (text[i] == '(') {
            depth++;
        } else if (text[i] == ')' && --depth == 0) {
            return i;
        }
    }
    return -1;
}

// Reads the group at text[*position] == '(' into `node`.
int readGroup(const char* text, int* position, int depth, CriteriaNode* node) {
    int close = matchingParenthesis(text, *position);
    if (close < 0) {
        return -1;
    }
    int innerLength = close - *position - 1;
    *position = close + 1;
    const char* inner = text + close - innerLength;
    if (innerLength == 0 || inner[0] == '*') {
        node->kind = kConstant;
        node->constant = innerLength == 0 ? '0' : '1';
        return 0;
    }
    if (depth >= kMaxDepth) {
        return -1;
    }
    char* copy = static_cast<char*>(std::malloc(static_cast<size_t>(innerLength) + 1));
    if (copy == nullptr) {
        return -2;
    }
    std::memcpy(copy, inner, static_cast<size_t>(innerLength));
    copy[innerLength] = '\0';
    node->kind = kGroup;
    int status = compileGroup(copy, depth + 1, &node->group);
    std::free(copy);
    return status;
}

int readComparison(const char* text, int* position, CriteriaNode* node) {
    node->kind = kComparison;
    node->property = -1;
    for (int i = 0; i < kPropertyCount; i++) {
        if (std::strncmp(text + *position, kProperties[i].name,
                         static_cast<size_t>(kProperties[i].length)) == 0) {
            node->property = static_cast<signed char>(i);
            *position += kProperties[i].length;
            break;
        }
    }
    const char* op = criteria_next_operator(text, position);
    if (op == nullptr) {
        return -1;
    }
    node->op = static_cast<signed char>(operatorIndex(op));
    *position += 1; // the blank the grammar puts after an operator
    node->operand = criteria_next_value(text, position);
    if (node->operand == nullptr) {
        return -1;
    }
    node->number = std::strtoll(node->operand, nullptr, 10);
    return 0;
}

// Every connective needs an operand on each side.
bool connectivesHaveOperands(const CriteriaGroup* group) {
    for (int i = 0; i < group->count; i++) {
        CriteriaNodeKind kind = group->nodes[i].kind;
        if (kind != kAnd && kind != kOr) {
            continue;
        }
        if (i == 0 || i == group->count - 1) {
            return false;
        }
        CriteriaNodeKind before = group->nodes[i - 1].kind;
        CriteriaNodeKind after = group->nodes[i + 1].kind;
        if (before == kAnd || before == kOr || after == kAnd || after == kOr) {
            return false;
        }
    }
    return true;
}

int readSymbols(const char* text, int depth, CriteriaGroup* group) {
    int position = 0;
    while (text[position] != '\0') {
        if (static_cast<unsigned char>(text[position]) <= 0x20) {
            position++;
            continue;
        }
        if (group->count == kMaxSymbols) {
            return -1;
        }
        CriteriaNode* node = &group->nodes[group->count++];
        if (text[position] == '(') {
            int status = readGroup(text, &position, depth, node);
            if (status < 0) {
                return status;
            }
        } else if (std::strncmp(text + position, "and", 3) == 0) {
            node->kind = kAnd;
            position += 3;
        } else if (std::strncmp(text + position, "or", 2) == 0) {
            node->kind = kOr;
            position += 2;
        } else if (readComparison(text, &position, node) < 0) {
            return -1;
        }
    }
    return connectivesHaveOperands(group) ? 0 : -1;
}

int compileGroup(const char* text, int depth, CriteriaGroup** out) {
    CriteriaGroup* group = static_cast<CriteriaGroup*>(std::calloc(1, sizeof(CriteriaGroup)));
    *out = group;
    if (group == nullptr) {
        return -2;
    }
    return readSymbols(text, depth, group);
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

char evaluateComparison(const CriteriaNode* node, const MediaObject* object) {
    if (node->property == kTrackNumber) {
        const MediaObject* item = member_item(object);
        long long value = item != nullptr ? item->track_number : 0;
        return compareNumber(item != nullptr, value, node->op, node->operand, node->number) ? '1'
                                                                                            : '0';
    }
    char area[24];
    const char* value = node->property < 0 ? nullptr : textValue(object, node->property, area);
    return criteria_compare_text(value, node->op, node->operand) ? '1' : '0';
}

// Replaces every `connective` with its two neighbours by one symbol, first one first.
void fold(char* symbols, int* count, char connective) {
    for (;;) {
        char* found =
            static_cast<char*>(std::memchr(symbols, connective, static_cast<size_t>(*count)));
        if (found == nullptr) {
            return;
        }
        int at = static_cast<int>(found - symbols);
        char before = at > 0 ? symbols[at - 1] : '0';
        char after = at + 1 < *count ? symbols[at + 1] : '0';
        bool result =
            connective == '&' ? (before == '1' && after == '1') : (before == '1' || after == '1');
        int first = at > 0 ? at - 1 : at;
        int last = at + 1 < *count ? at + 1 : at;
        symbols[first] = result ? '1' : '0';
        std::memmove(symbols + first + 1, symbols + last + 1,
                     static_cast<size_t>(*count - last - 1));
        *count -= last - first;
    }
}

bool evaluateGroup(const CriteriaGroup* group, const MediaObject* object) {
    char symbols[kMaxSymbols];
    int count = group->count;
    for (int i = 0; i < count; i++) {
        const CriteriaNode* node = &group->nodes[i];
        switch (node->kind) {
        case kConstant:
            symbols[i] = node->constant;
            break;
        case kAnd:
            symbols[i] = '&';
            break;
        case kOr:
            symbols[i] = '|';
            break;
        case kGroup:
            symbols[i] = evaluateGroup(node->group, object) ? '1' : '0';
            break;
        default:
            symbols[i] = evaluateComparison(node, object);
            break;
        }
    }
    fold(symbols, &count, '&');
    fold(symbols, &count, '|');
    return count > 0 && symbols[0] == '1';
}

} // namespace

int criteria_compile(const char* criteria, CriteriaProgram* program) {
    program->group = nullptr;
    if (criteria == nullptr || criteria[0] == '\0') {
        program->status = 0;
    } else if (criteria[0] == '*') {
        program->status = 1;
    } else {
        int status = compileGroup(criteria, 0, &program->group);
        program->status = status < 0 ? status : 2;
    }
    return program->status;
}

void criteria_release(CriteriaProgram* program) {
    freeGroup(program->group);
    program->group = nullptr;
}

int criteria_evaluate(const CriteriaProgram* program, const MediaObject* object) {
    if (object == nullptr) {
        return 0;
    }
    if (program->status != 2) {
        return program->status;
    }
    return evaluateGroup(program->group, object) ? 1 : 0;
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
    int at = *position;
    while (criteria[at] == ' ') {
        at++;
    }
    for (const char* op : kOperators) {
        size_t length = std::strlen(op);
        if (std::strncmp(criteria + at, op, length) == 0 && criteria[at + length] != '\0') {
            *position = at + static_cast<int>(length);
            return op;
        }
    }
    return nullptr;
}

char* criteria_next_value(const char* criteria, int* position) {
    char value[kMaxOperand + 1];
    int length = 0;
    int at = *position;
    while (criteria[at] == ' ') {
        at++;
    }
    if (criteria[at] == '"') {
        for (at++; criteria[at] != '\0' && criteria[at] != '"'; at++) {
            if (criteria[at] == '\\' && criteria[at + 1] != '\0') {
                at++;
            }
            if (length < kMaxOperand) {
                value[length++] = criteria[at];
            }
        }
        if (criteria[at] == '"') {
            at++;
        }
    } else {
        for (; criteria[at] != '\0' && criteria[at] != ' '; at++) {
            if (length < kMaxOperand) {
                value[length++] = criteria[at];
            }
        }
        if (criteria[at] == ' ') {
            at++;
        }
    }
    *position = at;
    char* copy = static_cast<char*>(std::malloc(static_cast<size_t>(length) + 1));
    if (copy != nullptr) {
        std::memcpy(copy, value, static_cast<size_t>(length));
        copy[length] = '\0';
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
