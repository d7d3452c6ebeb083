// Reversible obfuscation of passwords kept in job documents: AES-256-CBC under a
// key derived from a fixed pass phrase, stored as Base64 text. It keeps a password
// out of plain sight on disk; it is not protection against anyone holding this code.
#pragma once

#include "vt_json.h"
#include "vt_string.h"

// Fills the empty string out with the Base64 text of the obfuscated password
// (zero-terminated; the length does not count the zero byte). An empty password
// gives an empty text. Returns 0 on success, 1 on failure.
int vt_pwd_obfuscate(const vt_string *password, vt_string *out);
// Fills the empty string out with the password recovered from its Base64 text,
// up to its first zero byte. Bytes after the last whole 16-byte block are ignored.
int vt_pwd_unobfuscate(const vt_string *text, vt_string *out);

// Stores the obfuscated password as a string under key.
int vt_json_obj_pwd(vt_json_obj *document, const char *key, const vt_string *password);
// Reads the string under key and recovers the password into the empty string out.
int vt_json_obj_get_pwd(const vt_json_obj *document, const char *key, vt_string *out);
