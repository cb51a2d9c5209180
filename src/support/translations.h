// The translation table: message key to text in the current language.
// Safe from any thread; a reload never lets a reader see a half-replaced text.
#pragma once

#include <cstddef>
#include <string>

namespace zefo {

// Fills the table with the texts of "de", "en" or "fi"; any other code changes nothing.
void LoadTranslations(const std::string& code);

// The text of `key` with "$1".."$4" filled in; an empty arg2..arg4 leaves its
// placeholder as it is. A missing key gives the empty text and is not added.
std::string Translate(const std::string& key, const std::string& arg1 = {}, const std::string& arg2 = {},
                      const std::string& arg3 = {}, const std::string& arg4 = {});

// The text of `key` unchanged; a missing key is added with the empty text.
std::string LookupText(const std::string& key);

// Number of keys in the table.
size_t TranslationCount();

// Empties the table (tests only; the program never clears it).
void ResetTranslations();

}  // namespace zefo
