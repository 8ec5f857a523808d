#pragma once
// Command lines for starting a program with one argument. Windows passes a program one text,
// and the program splits it again (CommandLineToArgvW, or the C runtime's argv), so the text
// must be built for that splitting: wrapping the argument in quotes alone turns a trailing
// backslash, as in the drive root C:\, into an escaped quote. Pure code: it also builds natively.
#include <optional>
#include <string>

// The argument in double quotes, escaped so that the standard splitting gives it back unchanged:
// backslashes are doubled where they come before a quote (an embedded one or the closing one),
// and an embedded quote gets a backslash of its own.
std::wstring quoteArgument(const std::wstring& argument);

// The program path in double quotes, as the first item of a command line. That item is taken
// up to the next quote without any escaping, so a path holding a quote (which no file name
// can) has no representation: none then.
std::optional<std::wstring> quoteProgram(const std::wstring& program);

// The quoted program, a blank and the quoted argument; none when the program cannot be quoted.
std::optional<std::wstring> commandLineFor(const std::wstring& program, const std::wstring& argument);
