// Subject addresses: the URL object "host:port/path" (for example 10.1.2.3:3262/sub),
// its parser, and the formatting of a URL text from its three parts.
#pragma once

#include <cstddef>

struct vt_string;

// Each field is an owned zero-terminated text. host is null when the text has
// nothing before the port's ":"; port holds 1 to 5 decimal digits (its numeric
// range is not checked); path starts with "/" and has at least 2 characters.
struct vt_url {
    char *host;
    char *port;
    char *path;
};

// New URL object in an empty slot from the first length bytes of text; on failure
// the slot stays empty. Returns 0 on success, 1 on failure.
int vt_url_init(vt_url **slot, const char *text, size_t length);
// Parses text into an empty URL object; on failure the object stays empty. The scan
// runs from the right and stops at the first ":", so a host may hold ":" itself
// (fe80::1:3262/sub gives host fe80::1). Returns 0 on success, 1 on failure.
int vt_url_parse(vt_url *url, const char *text, size_t length);
// Frees the texts and the object, clears the slot; safe on an empty slot.
int vt_url_deit(vt_url **slot);

// Fills the empty string out with "%s:%s%s" of host, port and path (empty parts
// count as ""). Fails without a report when allocation fails or a part holds a zero
// byte (the text would then not be host + port + path + 1 bytes long).
int vt_url_make(const vt_string *host, const vt_string *port, const vt_string *path,
                vt_string *out);
