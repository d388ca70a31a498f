// Search with the version's search index: the criteria is evaluated for every row at once
// (a byte search over the folded texts for containment, a table per class for classes), giving
// one bit per row for items and containers and one for references to it; the matches are then
// collected in the order of search_collect's walk, skipping the member lists that no bit can
// select.
#include <cstdlib>
#include <cstring>

#include "media_db/search_index.h"
#include "runtime/utf8.h"
#include "services/criteria_internal.h"
#include "services/search.h"

namespace {

// Results for every row: `item` for the item or container of that row, `ref` for a reference
// to it (they differ only for @refID).
struct Bits {
    uint64_t* item;
    uint64_t* ref;
};

struct Evaluation {
    const CriteriaProgram* program;
    const SearchIndex* index;
    size_t words;
    bool unsupported; // a comparison the index cannot answer for all rows
    bool short_memory;
};

const char* operandOf(const Evaluation* evaluation, const CriteriaNode* node) {
    return evaluation->program->operands + node->operand;
}

bool bitAt(const uint64_t* bits, uint32_t row) {
    return (bits[row / 64] >> (row % 64)) & 1u;
}

bool makeBits(Evaluation* evaluation, Bits* bits) {
    bits->item = static_cast<uint64_t*>(std::calloc(evaluation->words * 2, sizeof(uint64_t)));
    bits->ref = bits->item != nullptr ? bits->item + evaluation->words : nullptr;
    evaluation->short_memory |= bits->item == nullptr;
    return bits->item != nullptr;
}

void freeBits(Bits* bits) {
    std::free(bits->item); // one block holds both
    bits->item = nullptr;
    bits->ref = nullptr;
}

void fillBits(const Evaluation* evaluation, uint64_t* bits, bool value) {
    std::memset(bits, value ? 0xFF : 0, evaluation->words * sizeof(uint64_t));
}

// Marks in `matched` (a bit per text id) the folded texts that contain the folded pattern.
// The pattern's rarest byte is looked for with memchr and the whole pattern compared there;
// texts end in NUL, which no pattern holds, so a match never spans two texts.
void scanTexts(const SearchTexts* texts, const char* pattern, size_t length, uint64_t* matched) {
    if (texts->count == 0) {
        return;
    }
    if (length == 0) {
        for (int32_t id = 0; id < texts->count; id++) {
            matched[id / 64] |= uint64_t{1} << (id % 64);
        }
        return;
    }
    size_t anchor = 0;
    for (size_t i = 1; i < length; i++) {
        if (texts->byte_counts[static_cast<unsigned char>(pattern[i])] <
            texts->byte_counts[static_cast<unsigned char>(pattern[anchor])]) {
            anchor = i;
        }
    }
    const char* bytes = texts->bytes;
    size_t total = texts->starts[texts->count];
    size_t from = 0;
    int32_t id = 0;
    while (from + length <= total) {
        const void* found =
            std::memchr(bytes + from + anchor, pattern[anchor], total - from - anchor);
        if (found == nullptr) {
            return;
        }
        size_t at = static_cast<size_t>(static_cast<const char*>(found) - bytes) - anchor;
        if (at + length > total) {
            return;
        }
        if (std::memcmp(bytes + at, pattern, length) != 0) {
            from = at + 1;
            continue;
        }
        // The text holding `at`: gallop from the last one found, then halve.
        int32_t high = id + 1;
        for (int32_t step = 1; high < texts->count && texts->starts[high] <= at; step *= 2) {
            id = high;
            high = id + step;
        }
        high = high < texts->count ? high : texts->count;
        while (high - id > 1) {
            int32_t middle = id + (high - id) / 2;
            if (texts->starts[middle] <= at) {
                id = middle;
            } else {
                high = middle;
            }
        }
        matched[id / 64] |= uint64_t{1} << (id % 64);
        from = texts->starts[id + 1];
    }
}

int searchText(int property) {
    switch (property) {
    case kTitle:
        return kSearchTitle;
    case kCreator:
    case kArtist:
        return kSearchArtist;
    case kAlbum:
        return kSearchAlbum;
    case kGenre:
        return kSearchGenre;
    default:
        return -1;
    }
}

// contains, doesNotContain and exists on a text; the operand of containment must be
// well-formed (an ill-formed byte matches only itself, which a byte search cannot tell).
void evaluateText(Evaluation* evaluation, const CriteriaNode* node, int text, Bits* out) {
    const SearchIndex* index = evaluation->index;
    const int32_t* ids = index->text_of[text];
    const char* operand = operandOf(evaluation, node);
    bool exists = node->op == kExists;
    bool negate = node->op == kDoesNotContain;
    if (!exists && (!(negate || node->op == kContains) || !utf8WellFormed(operand))) {
        evaluation->unsupported = true;
        return;
    }
    uint64_t* matched = nullptr;
    if (!exists) {
        const SearchTexts* texts = &index->texts[text];
        size_t length = std::strlen(operand);
        auto* pattern = static_cast<char*>(std::malloc(length + 1));
        matched = static_cast<uint64_t*>(
            std::calloc((static_cast<size_t>(texts->count) + 63) / 64 + 1, sizeof(uint64_t)));
        if (pattern == nullptr || matched == nullptr) {
            std::free(pattern);
            std::free(matched);
            evaluation->short_memory = true;
            return;
        }
        size_t folded = utf8FoldText(operand, pattern, length + 1);
        scanTexts(texts, pattern, folded, matched);
        std::free(pattern);
    }
    if (!makeBits(evaluation, out)) {
        std::free(matched);
        return;
    }
    bool wantPresent = exists && std::strcmp(operand, "true") == 0;
    for (int32_t row = 0; row < index->rows; row++) {
        int32_t id = ids[row];
        bool value = exists ? (id >= 0) == wantPresent
                            : id >= 0 && bitAt(matched, static_cast<uint32_t>(id)) != negate;
        if (value) {
            out->item[row / 64] |= uint64_t{1} << (row % 64);
        }
    }
    std::memcpy(out->ref, out->item, evaluation->words * sizeof(uint64_t));
    std::free(matched);
}

void evaluateClass(Evaluation* evaluation, const CriteriaNode* node, Bits* out) {
    const SearchIndex* index = evaluation->index;
    bool byClass[256] = {};
    for (int32_t code = 0; code < index->class_count; code++) {
        byClass[code] =
            criteria_compare_text(index->classes[code], node->op, operandOf(evaluation, node)) != 0;
    }
    if (!makeBits(evaluation, out)) {
        return;
    }
    for (int32_t row = 0; row < index->rows; row++) {
        if (byClass[index->class_of[row]]) {
            out->item[row / 64] |= uint64_t{1} << (row % 64);
        }
    }
    std::memcpy(out->ref, out->item, evaluation->words * sizeof(uint64_t));
}

void evaluateComparison(Evaluation* evaluation, const CriteriaNode* node, Bits* out) {
    int text = searchText(node->property);
    if (text >= 0) {
        evaluateText(evaluation, node, text, out);
        return;
    }
    if (node->property == kClass) {
        evaluateClass(evaluation, node, out);
        return;
    }
    if (node->property < 0) {
        // A property outside the table is absent everywhere.
        if (makeBits(evaluation, out)) {
            bool value = criteria_compare_text(nullptr, node->op, operandOf(evaluation, node)) != 0;
            fillBits(evaluation, out->item, value);
            fillBits(evaluation, out->ref, value);
        }
        return;
    }
    if (node->property == kRefId && node->op == kExists) {
        // Only a reference with a target has one; row 0 stands for the targetless.
        if (makeBits(evaluation, out)) {
            bool wantPresent = std::strcmp(operandOf(evaluation, node), "true") == 0;
            fillBits(evaluation, out->item, !wantPresent);
            fillBits(evaluation, out->ref, wantPresent);
            bool targetless = !wantPresent;
            out->ref[0] = (out->ref[0] & ~uint64_t{1}) | (targetless ? 1u : 0u);
        }
        return;
    }
    // Dates, track numbers, ids and the remaining text operators: object by object.
    evaluation->unsupported = true;
}

void combine(const Evaluation* evaluation, Bits* into, const Bits* with, char connective) {
    for (size_t i = 0; i < evaluation->words * 2; i++) {
        into->item[i] =
            connective == '&' ? into->item[i] & with->item[i] : into->item[i] | with->item[i];
    }
}

void evaluateLevel(Evaluation* evaluation, int32_t begin, int32_t end, Bits* out);

// One operand of a level: a constant, a comparison, or a group's level.
void evaluateOperand(Evaluation* evaluation, int32_t index, Bits* out) {
    const CriteriaNode* node = &evaluation->program->nodes[index];
    if (node->kind == kCriteriaGroup) {
        evaluateLevel(evaluation, index + 1, node->end, out);
    } else if (node->kind == kCriteriaComparison) {
        evaluateComparison(evaluation, node, out);
    } else if (makeBits(evaluation, out)) {
        bool value = node->kind == kCriteriaConstant && node->constant == '1';
        fillBits(evaluation, out->item, value);
        fillBits(evaluation, out->ref, value);
    }
}

bool failed(const Evaluation* evaluation) {
    return evaluation->unsupported || evaluation->short_memory;
}

// As criteria_evaluate reads a level: its first chain of operands joined by connectives
// decides, "and" binding tighter than "or"; operands after that chain do not count.
void evaluateLevel(Evaluation* evaluation, int32_t begin, int32_t end, Bits* out) {
    const CriteriaNode* nodes = evaluation->program->nodes;
    if (!makeBits(evaluation, out) || begin >= end) {
        return; // no operand: no match
    }
    Bits run{};
    for (int32_t i = begin; !failed(evaluation);) {
        Bits operand{};
        evaluateOperand(evaluation, i, &operand);
        if (failed(evaluation)) {
            freeBits(&operand);
            break;
        }
        if (run.item == nullptr) {
            run = operand;
        } else {
            combine(evaluation, &run, &operand, '&');
            freeBits(&operand);
        }
        i = nodes[i].end;
        bool chainGoesOn =
            i < end && (nodes[i].kind == kCriteriaAnd || nodes[i].kind == kCriteriaOr);
        if (!chainGoesOn || nodes[i].kind == kCriteriaOr) {
            combine(evaluation, out, &run, '|');
            freeBits(&run);
        }
        if (!chainGoesOn) {
            break;
        }
        i++;
    }
    freeBits(&run);
}

// Whether any row that is not a container's has its bit set.
bool anyMember(const Evaluation* evaluation, const uint64_t* bits) {
    const uint64_t* containers = evaluation->index->container_rows;
    for (size_t i = 0; i < evaluation->words; i++) {
        if ((bits[i] & ~containers[i]) != 0) {
            return true;
        }
    }
    return false;
}

struct Collect {
    MatchList* list;
    const SearchWalk* walk;
    const SearchIndex* index;
    Bits bits;
    bool anyItem;
    bool anyRef;
};

// Appends the matching members of one container, unless no member of its kinds can match.
bool collectMembers(const Collect* collect, const SearchContainer* container) {
    char kinds = container->member_kinds;
    if (kinds == 0 || (kinds == 'i' && !collect->anyItem) || (kinds == 'r' && !collect->anyRef) ||
        (!collect->anyItem && !collect->anyRef)) {
        return true;
    }
    const uint32_t* members = collect->index->members + container->first_member;
    for (int32_t i = 0; i < container->member_count; i++) {
        uint32_t member = members[i];
        uint32_t row = member & ~kSearchRefBit;
        const uint64_t* bits =
            (member & kSearchRefBit) != 0 ? collect->bits.ref : collect->bits.item;
        if (bitAt(bits, row) &&
            !search_list_append(collect->list, media_db_child_at(container->object, i),
                                collect->walk->sortCriteria)) {
            return false;
        }
    }
    return true;
}

// Appends the matches below the scope in search_collect's order: each container is followed
// by its members or its own containers, depth first.
int collectFrom(const Collect* collect, int32_t scope) {
    const SearchIndex* index = collect->index;
    const MediaObject* membersOnlyIn = collect->walk->membersOnlyIn;
    for (int32_t i = scope; i < index->containers[scope].end; i++) {
        const SearchContainer* container = &index->containers[i];
        if (i != scope && bitAt(collect->bits.item, static_cast<uint32_t>(container->row)) &&
            !search_list_append(collect->list, container->object, collect->walk->sortCriteria)) {
            return -2;
        }
        bool skipMembers = membersOnlyIn != nullptr && container->object != membersOnlyIn;
        if (!skipMembers && !collectMembers(collect, container)) {
            return -2;
        }
    }
    return 0;
}

} // namespace

int search_collect_indexed(MatchList* list, const MediaObject* container, const SearchWalk* walk,
                           int32_t walkShare) {
    const CriteriaProgram* program = walk->program;
    if (program->status != 1 && program->status != 2) {
        return 1;
    }
    const SearchIndex* index = media_db_search_index();
    int32_t scope = index != nullptr ? search_index_container(index, container) : -1;
    if (scope < 0) {
        return 1;
    }
    const SearchContainer& first = index->containers[scope];
    const SearchContainer& last = index->containers[first.end - 1];
    int64_t objects =
        (first.end - scope) + (last.first_member + last.member_count) - first.first_member;
    if (walkShare > 0 && objects * walkShare < index->rows) {
        return 1;
    }
    Evaluation evaluation{program, index, (static_cast<size_t>(index->rows) + 63) / 64, false,
                          false};
    Collect collect{list, walk, index, {}, false, false};
    if (program->status == 1) {
        if (makeBits(&evaluation, &collect.bits)) {
            fillBits(&evaluation, collect.bits.item, true);
            fillBits(&evaluation, collect.bits.ref, true);
        }
    } else {
        evaluateLevel(&evaluation, 0, program->count, &collect.bits);
    }
    if (evaluation.unsupported || evaluation.short_memory) {
        freeBits(&collect.bits);
        return evaluation.unsupported ? 1 : -2;
    }
    collect.anyItem = anyMember(&evaluation, collect.bits.item);
    collect.anyRef = anyMember(&evaluation, collect.bits.ref);
    int status = collectFrom(&collect, scope);
    freeBits(&collect.bits);
    return status;
}
