// The files and directories the tool makes for itself: a private temporary directory removed at
// exit and on the usual termination signals, directories the user names, and small files.
#pragma once

#include <string>

namespace tool {

// A new directory of this process's own (mode 0700) under TMPDIR, removed at exit and on the
// termination signals with the one file it will hold (`file`).
std::string make_private_dir(const char* file = "DAC_test.bin");
// Removes the private directory and its file now.
void remove_private_dir();

// Makes `dir` unless it is a directory already.
void ensure_dir(const std::string& dir);

// Writes `bytes` to a new file `path`; every write checked.
void write_file(const std::string& path, const std::string& bytes);

}  // namespace tool
