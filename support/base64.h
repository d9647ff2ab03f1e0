/* Base64 (RFC 4648 alphabet, "=" padding) on caller-supplied areas. */
#ifndef QV7_SUPPORT_BASE64_H
#define QV7_SUPPORT_BASE64_H

#include "../platform/win32.h"

/* Encodes len bytes of src (len > 0), or the bytes before src's first zero byte
 * (len == 0), into dst, followed by a zero byte. dst needs 4*ceil(n/3)+1 bytes. */
void base64_encode(const unsigned char *src, char *dst, int len);
/* Decodes zero-terminated text; whitespace is skipped, the first "=" or the end
 * stops. Writes a zero byte after the output and returns its address. dst needs
 * as many bytes as src has characters (1 when empty); what lies after the zero
 * byte in that area is undefined. */
unsigned char *base64_decode(const char *src, unsigned char *dst);

#endif
