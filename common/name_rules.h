// The one set of rules every name from the server passes before it reaches
// the file system: archive entry names in both programs and the removal
// list's lines (and the publisher's checks). The rules are the same on every
// platform, so that a name Windows would read as something else is refused
// on Linux too and both builds behave alike. docs/security.md gives the
// reason for each rule.
#pragma once

#include <cstddef>

namespace zem {

// True when every component of the name (the text between '/' or '\'
// separators, over length bytes) can name a file or folder on every
// platform exactly as written. A component is refused when it is empty,
// "." or "..", ends in '.' or ' ', holds ':', a control character or one of
// <>"|?*, is a Windows device name with or without an extension (CON, PRN,
// AUX, NUL, COM0-9, LPT0-9, CONIN$, CONOUT$, in any case), or has the shape
// of a generated short (8.3) name such as ZEM-PL~1.EXE.
bool name_is_acceptable(const char* name, size_t length);
bool name_is_acceptable(const char* name);

// True when the local path ('\'-separated) names one of the programs'
// own working files: the state files the programs write themselves, the
// writer lock, any part file, or the launcher's previous copy
// "ZEM-Play.exe.old". Compared ignoring the case of ASCII letters.
// "ZEM\release.json", "ZEM\removed.txt" and other names under "ZEM\" are not
// working files.
bool names_a_working_file(const char* local_path);

}  // namespace zem
