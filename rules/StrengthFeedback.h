#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/Types.h"
#include "rules/KLStrength.h"

// What the strength estimator tells the user about a password: the warning and
// suggestions drawn from its cheapest covering, as keys and as texts, and the
// crack times in words, in the language chosen. Internal to the library.
namespace kl::detail {

// The three kinds of text a language pack translates, by key.
enum class TStrengthTextKind : std::uint8_t { tkWarning, tkSuggestion, tkTime };

// The pack's text for Key in Language ("de", "pt-br"...). A language without a
// pack, or a key its pack lacks, gives the English pack's text; a key nobody
// has gives an empty text. English4 asks for zxcvbn 4.4.2's own English texts
// where it has one (its profile's English), the English pack's otherwise.
String StrengthText(std::string_view Language, TStrengthTextKind Kind, std::string_view Key, bool English4 = false);

// Adds the texts of Language's pack for a host that is handed the pack while
// it runs (the web build fetches each language when a page asks for it):
// Lines holds "section\tkey\ttext" a line, UTF-8. A text the language has
// already keeps its words. Safe beside estimates on other threads.
void AddStrengthTexts(std::string_view Language, std::string_view Lines);

// Good scores (3 and 4) get no feedback; otherwise the feedback is about the
// longest match (the first of equals), led by the advice to add words. The
// rules are those of the Profile's model; the texts are in Language.
TKLStrengthFeedback StrengthFeedback(std::int32_t Score, const std::vector<TKLStrengthMatch>& Sequence,
                                     TKLStrengthProfile Profile = spZxcvbn, std::string_view Language = "en");

// Fills in the result's language (the first of Languages, "en" without any),
// its crack times in words and its feedback, from its profile, score, sequence
// and crack times in seconds.
void DescribeStrength(TKLStrengthResult& Result, const std::vector<std::string>& Languages);

} // namespace kl::detail
