// Texts that many tracks repeat (artist, album, genre, year, folder) kept once: each distinct text
// is stored a single time, counted by its users, and freed with its last one. Safe from any thread
// (track records are made by several reading threads and freed by whichever thread lets their last
// version go).
#pragma once

#include <cstddef>
#include <cstdint>

// Fills shared[i] with the shared copy of texts[i] (nullptr for a nullptr text), one more use
// each. False on short memory, having taken nothing.
bool shared_texts_take(const char* const* texts, int32_t count, const char** shared);
// The same for the first lengths[i] bytes of each text (a part of a longer text).
bool shared_texts_take_sized(const char* const* texts, const size_t* lengths, int32_t count,
                             const char** shared);
// Ends one use of each shared copy (nullptr entries are skipped).
void shared_texts_drop(const char* const* shared, int32_t count);
// How many distinct texts are kept, for tests.
int32_t shared_texts_count();
