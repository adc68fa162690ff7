// Release versions: the number reading and comparison behind the update
// decision, and the order a signed update must follow the installed
// release in. The updater and zem-publish use both.
#pragma once

#include <cstdint>

namespace zem {

enum class VersionOrder { older, same, newer };

// Reads an unsigned decimal number at *cursor the way strtoul does with
// base 10, but always with a 32-bit result: leading white space, an
// optional '+' or '-' (a '-' negates modulo 2^32), then digits; a value
// above 4294967295 reads as 4294967295. Without a digit the number is 0
// and *cursor stays where it was; otherwise it moves past the digits.
uint32_t read_version_number(const char** cursor);

// The update decision's comparison of the server's version with the
// installed one, component by component ('.'-separated numbers, missing
// components count as 0). Any difference in text that is not a number
// makes the server version newer, whichever way round: it answers "is this
// another release?", so it is no order and must never judge a rollback.
VersionOrder compare_versions(const char* server_version, const char* installed_version);

// Where version stands against other among releases. "newer" one way round
// is always "older" the other way, and the order is transitive. Versions
// are compared by
//   1. their leading numbers, read and padded with zeros exactly as
//      compare_versions reads them (so wherever compare_versions decides by
//      numbers, this agrees);
//   2. the text after them: none sorts after text that starts with '-' or
//      '~' (a pre-release: 2.0-rc2 before 2.0) and before any other text
//      (1.0.2 before 1.0.2a);
//   3. that text in runs: digits by their value (rc10 after rc9, v0.10 after
//      v0.9), everything else byte by byte.
// same: no step tells them apart ("1.2" and "1.2.0", "rc01" and "rc1").
VersionOrder release_order(const char* version, const char* other);

// True when an update signed for signed_version may replace the installed
// release: no version is installed, it is the installed one's own text,
// or it is newer in release_order. Anything else would go back, or
// sideways to a release that an update could then go back from.
bool release_may_replace(const char* signed_version, const char* installed_version);

}  // namespace zem
