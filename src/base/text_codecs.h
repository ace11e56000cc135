// text_codecs - the encodings scripts apply to mail text: Base64, the HTML
// entity table, numeric character references, tag stripping and URL percent
// coding. Pure functions over bytes, shared by CS_InConde and by anything
// native that must read text the way scripts do. Thread-safe.
#ifndef TORVANE_BASE_TEXT_CODECS_H_
#define TORVANE_BASE_TEXT_CODECS_H_

#include <cstdint>
#include <string>
#include <string_view>

// Base64 output lines are this long; "\r\n" follows each full line, the last
// one included, as mail bodies expect.
constexpr size_t kBase64LineChars = 76;

// Base64 of `bytes` with the standard alphabet and '=' padding, "\r\n" after
// every kBase64LineChars output characters.
std::string Base64Encode(std::string_view bytes);
// Decodes groups of four alphabet characters, skipping any other character,
// up to the first '=' or the end; a last incomplete group (a body cut short)
// yields the whole bytes it holds. Binary-safe; stops before the output
// would pass `max_bytes`.
std::string Base64DecodeBytes(std::string_view text, size_t max_bytes = SIZE_MAX);
// Base64DecodeBytes cut at the first decoded NUL byte (the result is text).
std::string Base64Decode(std::string_view text);

// Every entity of the HTML table replaced by its byte (the first row of an
// entity wins); "&amp;" and unknown entities stay as they are.
std::string DecodeHtmlEntities(std::string_view text);
// Every '&' becomes "&amp;"; every byte that has a row in the table (the
// last row, a second spelling of 0xB0, excluded) becomes the entity of its
// first row. So a space becomes "&nbsp;", '/' "&frasl;" and '=' "&equiv;".
std::string EncodeHtmlEntities(std::string_view text);

// Decimal references of two or three digits ("&#65;", "&#065;") replaced by
// their byte until none is left, so references that decode into new ones
// are followed; a code above 255 (or 0) is removed. Linear in the text.
std::string DecodeCharacterReferences(std::string_view text);
// Tags ("<" one or more characters of a line ">", shortest first) removed
// until none is left: each round removes every copy of the leftmost tag.
std::string StripTags(std::string_view text);

// '+' becomes a space, then "%hh" (hexadecimal, either case) becomes its
// byte until none is left, so "%2541" gives "A"; "%00" is removed. Linear in
// the text.
std::string URLDecodeText(std::string_view text);
// Letters, digits and '_' kept, every other byte as "%HH" (upper case).
std::string URLEncodeText(std::string_view text);

#endif  // TORVANE_BASE_TEXT_CODECS_H_
