// Reading the arguments of a SOAP control request without an XML parser: the body is cut at
// its tag delimiters into NUL-terminated fragments and each fragment's character references
// are decoded, all in place. Arguments are then found by walking the fragments.
#pragma once

// Prepares a writable, NUL-terminated request body once, in place, and returns the prepared
// length that bounds every later lookup. Cutting comes before decoding, so a decoded `<` or
// `>` inside an argument value (a search criteria such as `x &gt;= "1"`) stays in the value.
// Allocates nothing; any thread, on its own body.
int soap_prepare_body(char* body);

// The value of argument `name` (its tag name, case-sensitive, matched as a prefix of a
// fragment): the fragment after the first fragment that begins with `name`. nullptr when no
// fragment matches, when the matching fragment ends in '/' (an empty-element tag) or when no
// fragment follows it inside the prepared text. The value points into the body.
const char* soap_get_arg(const char* name, const char* body, int length);

// The argument read as a decimal integer (leading blanks and a sign accepted, reading stops at
// the first non-digit, saturated to the int range); 0 when missing, empty or not numeric.
int soap_get_int_arg(const char* name, const char* body, int length);
