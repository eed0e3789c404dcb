/* b64: Base64 of RFC 4648 (standard alphabet, `=` padding, no line breaks).
 *
 * Both directions work on caller memory, allocate nothing and keep no state;
 * both may run in place (in == out). Results are 0 or -1. A negative input
 * length means `in` is a terminated string whose length is taken. The text
 * written by b64_encode and the bytes written by b64_decode are followed by
 * a terminator byte, for which the output size must leave room. */
#ifndef VEXCORE_B64_H
#define VEXCORE_B64_H

#include <stddef.h>
#include "vexcore/vexcore_export.h"

VEXCORE_BEGIN_DECLS

/* Encodes inlen bytes of in into out (outsize bytes). *outlen (optional)
 * first receives the full text length ((inlen + 2) / 3 * 4), so a call with
 * out null sizes a buffer; after encoding it receives the length written.
 * Returns -1 for out null or outsize 0, and for output cut for want of room
 * (whole groups only, terminated). In place, outsize must exceed the full
 * text length or nothing is written and -1 comes back. */
VEXCORE_API int b64_encode(const void *in, int inlen, char *out, size_t outsize, int *outlen);

/* Decodes inlen characters of in into out (outsize bytes, decoded bytes
 * plus a terminator). Pads are optional; decoding stops at the first
 * non-alphabet character in the third or fourth place of a group. A
 * negative outsize is allowed in place only and then means inlen. Returns
 * -1 for a lone trailing character, a non-alphabet character in the first
 * or second place of a group, or too little room; *outlen (optional) is
 * written only on success. */
VEXCORE_API int b64_decode(const char *in, int inlen, void *out, int outsize, int *outlen);

VEXCORE_END_DECLS

#endif
