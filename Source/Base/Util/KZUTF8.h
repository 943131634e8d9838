#pragma once
// UTF-8 utilities: sequences of one to four bytes, character counting and stepping, and the
// conversion of escape sequences. Every reader is bounded by the length or the terminating zero it
// is given; a truncated sequence is never read past its end.

#include <cstddef>
#include <cstdint>

// Number of bytes of the sequence that begins with this lead byte (1 to 4).
int u8_seqlen(const char* s);
// Decodes up to srcsz bytes into at most sz characters; returns the number written. srcsz -1: up to
// the terminating zero. The result is terminated when there is room.
int u8_toucs(uint32_t* dest, int sz, const char* src, int srcsz);
// Encodes srcsz characters (-1: up to a zero) into at most sz bytes; returns the bytes written,
// terminated when there is room.
int u8_toutf8(char* dest, int sz, const uint32_t* src, int srcsz);
// Encodes one character into dest (4 bytes suffice); returns its length, 0 for a value above 0x10FFFF.
int u8_wc_toutf8(char* dest, uint32_t ch);
// Byte offset of character number charnum, and the character number at a byte offset.
int u8_offset(const char* str, int charnum);
int u8_charnum(const char* s, int offset);
// Number of characters up to the terminating zero.
int u8_strlen(const char* s);
// The character at byte *i (of a text of `length` bytes); *i moves past it.
uint32_t u8_nextchar(const char* s, size_t* i, size_t length);
// Steps *i forward or back over one character.
void u8_inc(const char* s, int* i);
void u8_dec(const char* s, int* i);

bool octal_digit(char c);
bool hex_digit(char c);
// Reads the escape sequence after a backslash; returns the bytes used (at least 1).
int u8_read_escape_sequence(const char* src, uint32_t* dest);
// Turns a text with escapes into UTF-8 in buf (at most sz bytes, terminated); returns characters.
int u8_unescape(char* buf, int sz, const char* src);
// Writes one character in escaped form and a terminator; returns the bytes written, 0 (and an empty
// buf) when the escape does not fit whole.
int u8_escape_wchar(char* buf, int sz, uint32_t ch);
// Escapes a whole UTF-8 text; returns the bytes written.
int u8_escape(char* buf, int sz, const char* src, int escape_quotes);
// First occurrence of a character; *charn receives its character number.
const char* u8_strchr(const char* s, uint32_t ch, int* charn);
const char* u8_memchr(const char* s, uint32_t ch, size_t sz, int* charn);
// Whether the codeset of a locale name ("en_US.UTF-8@euro") is UTF-8.
bool u8_is_locale_utf8(const char* locale);
