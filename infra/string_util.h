// String helpers of the whole daemon: trimming, splitting, replacing, number
// texts and their checked parsing, secure clearing and shell quoting.
//
// Every function is a pure function of its arguments (no shared state) and
// may be called from any thread. JSON text lives in infra/json_util.h so that
// this header does not pull jsoncpp into every file.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

// The Split family stops cutting as soon as the output vector holds this
// many elements; the rest of the text is dropped.
constexpr size_t CHS_SPLIT_MAX_ITEMS = 1024;

// Removes leading and trailing characters of `characters` (a null set changes nothing).
void Trim(std::string& text, const char* characters);

// Cuts `text` at each occurrence of `separator` and appends the pieces to
// `out`; empty pieces only with `keepEmpty`. An empty text or separator appends nothing.
void Split(const std::string& text, const std::string& separator, std::vector<std::string>& out,
           bool keepEmpty = false);
// As Split, cutting at any single character of `separators`.
void SplitSet(const std::string& text, const std::string& separators, std::vector<std::string>& out,
              bool keepEmpty = false);
// As SplitSet, but a character that is a key of `quotes` opens a run, ended by
// its mapped character, inside which separators do not cut. Quote characters
// stay in the pieces; an unterminated run lasts to the end of the text.
void SplitIgnore(const std::string& text, const std::string& separators, std::vector<std::string>& out,
                 const std::map<char, char>& quotes, bool keepEmpty = false);
// Splits at the first `separator` into key and value; false (and nothing
// changed) when the separator is empty or absent.
bool SplitKv(const std::string& text, const std::string& separator, std::string& key, std::string& value);

// Replace the first / every occurrence of `from`; inserted text is never
// rescanned. An empty `from` changes nothing.
void ReplaceString(std::string& text, const std::string& from, const std::string& to);
void ReplaceStringAll(std::string& text, const std::string& from, const std::string& to);

// Overwrite the characters with zeros (once / three times) in a way the
// compiler cannot drop, then empty the string. Copies the string made earlier
// (reallocations, other objects) are out of their reach.
void ResetString(std::string& text);
void ResetPwdStr(std::string& text);

// Decimal (or lower-case hexadecimal without prefix) text, left-padded with `fill` to `width`.
std::string ToStr(unsigned long long value, bool hex = false, unsigned int width = 0, char fill = '0');
// "0x" followed by the hexadecimal digits.
std::string ToHexStr(unsigned long long value, bool upper = false);
std::string ItoStr(long long value);

// The text read as a signed 64-bit number by stream extraction: hexadecimal
// after a "0x"/"0X" prefix when the text is longer than two characters,
// decimal otherwise. 0 when nothing can be read (or the number is out of range).
long long ToL(const std::string& text);
// Checked form: only digits (or a hex prefix followed by hex digits) are
// accepted; the empty text is accepted as 0. False leaves `value` at 0; so
// does a number outside the signed 64-bit range.
bool ToL(const std::string& text, long long& value);

// The text as one single-quoted shell word ('\'' for each quote inside), so
// that a shell line built from it passes the text as one literal argument.
// A NUL cannot travel through a command line: cut at the NUL (as c_str()
// does), the word leaves its quote open and the shell refuses the whole line.
std::string ShellQuote(const std::string& text);

// At most `max` bytes of `text` on one line: every control character
// (below 0x20, and 0x7F) becomes `replacement`. For text from a peer that
// reaches a log line or a terminal.
std::string OneLine(const std::string& text, size_t max, char replacement);
