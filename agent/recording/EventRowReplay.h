#pragma once

#include <cstdint>
#include <memory>

#include "agent/platform/YCriticalSection.h"
#include "agent/support/YString.h"

class ThreadInfo;

// The event-row records of a thread's buffer (kinds eventRowOpen to eventRowString of ThreadEvents.h)
// and their replay into the event tables. A record's owned text is the address of a heap YString that
// the writer gave up; whoever takes it from the record clears the two words, so that the text is freed
// exactly once whichever road the record takes: replayed, skipped, or dropped with its thread's buffer.

// The frame word of an open record that stands for the thread's traced frame at replay.
constexpr uint32_t tracedFrameWord = 0xFFFFFFFF;

// Stores the text's address (0 for none) in two words, low word first; the record now owns the text.
inline void putOwnedText(uint32_t* words, const YString* text) {
  const uint64_t address = uint64_t(reinterpret_cast<uintptr_t>(text));
  words[0] = uint32_t(address);
  words[1] = uint32_t(address >> 32);
}

// Takes the text out of two words written by putOwnedText, clearing them; null for none.
std::unique_ptr<YString> takeOwnedText(uint32_t* words);

// Replays one record of kinds 4 to 9 of the thread's buffer: opens, closes or deletes the row of its key
// or sets one of its cells. A record whose table id lies outside 32 to 127 or names no table, or whose
// column is out of range or of the other width, changes nothing (the latter is logged); its text is
// freed all the same. A delete removes the key's row only when the row belongs to the table named.
// Fatal "db is NULL" without a database. The caller holds "ourLock" (`held`).
void replayEventRow(ThreadInfo* thread, uint32_t* record, const YCriticalSectionLock& held);

// Frees the owned texts of the thread's records not yet replayed, for a buffer dropped unreplayed.
// Stops at a word that starts no known record: what follows cannot be read.
void freeUnreplayedEventTexts(ThreadInfo* thread);
