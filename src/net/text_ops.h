// Text operations of the list protocol. Case-sensitive; positions are 1-based
// and count bytes of the UTF-8 text (the protocol's markers and separators are ASCII).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace zefo {

// Position of the first `pattern` that begins at or after `start`, or 0. An empty
// text or pattern gives 0; a start below 1 counts as 1, one beyond the end gives 0.
int64_t FindText(std::string_view text, std::string_view pattern, int64_t start);
// Occurrences of `pattern`, counted left to right without overlap; 0 for an empty text or pattern.
int64_t CountText(std::string_view text, std::string_view pattern);
// The index-th field of `text` split at the first character of `separator`
// (index 1 is the text before the first separator); empty when out of range.
std::string TextField(std::string_view text, int64_t index, std::string_view separator);
// Up to `length` bytes from `start`; a negative length counts as 0, a start of 1
// or less begins at the first byte, a start beyond the end gives the empty text.
std::string MidText(std::string_view text, int64_t start, int64_t length);
// The text between the first `open` and the following `close`, computed as
// MidText(text, a + |open|, b - a - |open|) with a = FindText(text, open, 1)
// and b = FindText(text, close, a).
std::string TextBetween(std::string_view text, std::string_view open, std::string_view close);

// Visits the records of a list block in order: records are separated by "|",
// empty ones are skipped, and each gives its fields 1 and 2 (separated by ":";
// a record without ":" has an empty field 2, fields after the second are ignored).
void ForEachRecord(std::string_view block,
                   const std::function<void(std::string_view field1, std::string_view field2)>& visit);
// A list reply's text as a server sends it: "[data]", the records (each "field1:field2")
// joined by "|", "[/data]". ForEachRecord reads the block back.
std::string ListBlockText(const std::vector<std::string>& records);
// The number of records ForEachRecord visits.
size_t CountRecords(std::string_view block);
// True when the text holds a control character (below 32, or 127), which must never
// reach a request line.
bool HasControlCharacters(std::string_view text);

}  // namespace zefo
