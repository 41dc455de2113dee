// Running other programs without letting data become shell syntax.
//
// Command lines with fixed text (the platform's scripts, with redirections)
// run through the shell; every piece of data put into such a line (a path, a
// configuration value, a client's text) goes through shell_quote first.
// Programs that take data as arguments are better run with run_argv, which
// never involves a shell.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace dv {

// Quotes s as one shell word: 'text', with each ' written as '\''. Safe for
// any byte string without NUL.
std::string shell_quote(std::string_view s);

// The resolved path of a program or script the system runs by absolute path
// ("/etc/init.d/memhub.sh"), already quoted as a shell word.
std::string command_word(std::string_view logical_path);

// system(3) on a command line. Returns the exit status (0..255), 128+signal
// when the command was killed, or -1 when no shell could be started.
int run_shell(const std::string& cmdline);

// fork + execvp (PATH lookup) + wait, no shell. Returns as run_shell; -1 also
// when argv is empty. Output is inherited.
int run_argv(const std::vector<std::string>& argv);

// Runs a command line through the shell and collects its standard output.
// Returns the exit status as run_shell, -1 when it cannot be started.
int run_capture(const std::string& cmdline, std::string* out);

}  // namespace dv
