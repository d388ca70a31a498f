// Which of the library's folders are known unchanged, so that a pass need not ask their files'
// status again.
//
// A folder is trusted unchanged only while it has been watched without a break since a pass
// that checked its files and kept the result (published it, or found the catalogue the same),
// and no change was reported for it since. Each pass drains the reported changes before it
// asks any status, and a folder gets its watch before its files are checked, so a change made
// during or after a check is reported at the next drain at the latest. Lost changes (queue
// overflow, a watched folder removed) forget every folder and start a new watch set.
//
// The trust also holds only for the catalogue version it was earned against: a pass that finds
// another version published (by another writer) checks everything again.
#pragma once

#include <cstddef>
#include <cstdint>

struct FolderWatch;

// A new, empty watch; nullptr on short memory (then nothing is ever trusted).
FolderWatch* folder_watch_open();
void folder_watch_close(FolderWatch* watch);

// Notes the folders that saw changes since the last drain; called at the start of every pass.
void folder_watch_drain(FolderWatch* watch);

// Whether the catalogue version `serial` is the one the trust was earned against; when it is
// not, every folder is forgotten.
bool folder_watch_holds_for(FolderWatch* watch, uint64_t serial);

// Whether the folder (its path of `length` bytes, separator included) is trusted unchanged.
bool folder_watch_trusted(FolderWatch* watch, const char* folder, size_t length);

// Called before the folder's files are checked (folder is zero-terminated after `length`):
// watches it, when not yet watched, and notes it as checked in this pass.
void folder_watch_checking(FolderWatch* watch, const char* folder, size_t length);

// The folder holds a file that may change under another folder's name: it is not trusted, and
// its files are asked each pass.
void folder_watch_distrust(FolderWatch* watch, const char* folder, size_t length);

// Ends a pass: with `kept`, the folders checked in it become trusted for the version `serial`;
// otherwise they stay as before the pass.
void folder_watch_commit(FolderWatch* watch, bool kept, uint64_t serial);
