/* ascii: locale-free character classes and case mapping.
 *
 * Four constant 256-entry tables indexed by the unsigned value of a byte
 * (cast a char to unsigned char first). Bytes 128 to 255 have no class,
 * map to themselves and are no digit. Nothing here allocates or keeps
 * state; everything is safe from any thread. */
#ifndef VEXCORE_ASCII_H
#define VEXCORE_ASCII_H

#include "vexcore/vexcore_export.h"

VEXCORE_BEGIN_DECLS

/* Class bits of ascii_ctype_mask_table. */
enum {
    ASCII_CTYPE_UPPER = 0x01,  /* A-Z */
    ASCII_CTYPE_LOWER = 0x02,  /* a-z */
    ASCII_CTYPE_DIGIT = 0x04,  /* 0-9 */
    ASCII_CTYPE_SPACE = 0x08,  /* 9-13 and 32 */
    ASCII_CTYPE_PUNCT = 0x10,  /* printable, not letter, digit or space */
    ASCII_CTYPE_CNTRL = 0x20,  /* 0-31 and 127 */
    ASCII_CTYPE_BLANK = 0x40,  /* 32 alone */
    ASCII_CTYPE_XDIGIT = 0x80, /* 0-9, A-F, a-f */
    ASCII_CTYPE_ALPHA = 0x03,
    ASCII_CTYPE_ALNUM = 0x07
};

/* Value returned by ascii_decode_base_table for a byte that is no digit. */
#define ASCII_NO_DIGIT 0x7F

/* One byte of class bits per character. */
VEXCORE_API extern const unsigned char ascii_ctype_mask_table[256];
/* A-Z to a-z; every other byte to itself. */
VEXCORE_API extern const unsigned char ascii_convert_to_lowercase[256];
/* a-z to A-Z; every other byte to itself. */
VEXCORE_API extern const unsigned char ascii_convert_to_uppercase[256];
/* Digit value in bases up to 36 (0-9, then A-Z and a-z as 10-35), else
 * ASCII_NO_DIGIT: a byte is a digit of base b when its entry is below b. */
VEXCORE_API extern const unsigned char ascii_decode_base_table[256];

/* Lower-cases (upper-cases) the terminated string s in place; returns s. */
VEXCORE_API char *ascii_lcase(char *s);
VEXCORE_API char *ascii_ucase(char *s);

/* Like strlcpy, storing each character lower-cased: copies at most size - 1
 * characters and terminates; size <= 0 writes nothing. Returns strlen(src). */
VEXCORE_API int ascii_lstrlcpy(char *dst, const char *src, int size);

VEXCORE_END_DECLS

#endif
